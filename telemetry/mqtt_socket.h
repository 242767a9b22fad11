// SPDX-License-Identifier: GPL-2.0-or-later
// The socket calls of the broker connection, below the MQTT packets: the TCP
// connect to a broker of either address family, exact and bounded reads, and
// waits that a wake or cancel descriptor ends early. Every wait runs to a
// deadline on the clock's monotonic time, polling at most one second at a time
// and reading the clock again after each poll, so a clock that jumps forward
// ends it within a second instead of a whole time-out later. Static operations
// on the descriptors they are given; safe from any thread that owns them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/clock.h"

class MqttSocket {
 public:
  enum class Readiness { Readable, TimedOut, Woken };
  enum class Read { Complete, EndOfStream, Failed };
  enum class Waiting { Data, Nothing, EndOrError };

  // Resolves the host (IPv4 first, as resolveHost), makes a TCP socket of its
  // family and connects to the port within the time; a signal on the cancel
  // descriptor (-1: none) ends the attempt at once. The blocking, close-on-exec
  // descriptor, or -1: a host that does not resolve is never taken for the
  // wildcard address, which would reach whatever listens on this machine.
  static int connect(const Clock& clock, const char* host, uint16_t port, int timeoutMs, int cancelFd);

  // Waits until the socket (-1: none, only the wake descriptor and the time)
  // has data or the end of the stream to read, the time passes or the wake
  // descriptor is signalled.
  static Readiness waitForData(const Clock& clock, int sock, int wakeFd, long long timeoutMs);

  // Reads exactly length bytes, each receive bounded by the socket's receive
  // time-out (measured on the clock). Failed leaves errno: EAGAIN for the
  // time-out, or the receive's own.
  static Read receiveExactly(const Clock& clock, int sock, uint8_t* data, size_t length);

  // Reads up to length bytes within the time, fewer when the stream ends, an
  // error comes, the time passes or the cancel descriptor (-1: none) is signalled.
  static size_t receiveWithin(const Clock& clock, int sock, uint8_t* data, size_t length, int timeoutMs, int cancelFd);

  // One send call for the whole of the data, again after a signal; a connection
  // that the broker closed fails (EPIPE) instead of raising SIGPIPE. send's result.
  static ssize_t send(int sock, const uint8_t* data, size_t length);
  // What waits on the socket without reading it: data, nothing yet, or the end
  // of the stream or an error (which the look takes, so the next read sees the end).
  static Waiting peek(int sock);

  // SO_RCVTIMEO or SO_SNDTIMEO in milliseconds: setsockopt's result.
  static int setTimeout(int sock, int option, int milliseconds);
};
