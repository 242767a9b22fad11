// SPDX-License-Identifier: GPL-2.0-or-later
// The measuring rig of the floor benchmark: loopback UDP sockets that play the
// local partner and the Rewind server around a running zelk process, a bare relay
// process that only receives a datagram and sends it on (the physical floor of
// this machine), and the measurements made through either of them: one-way
// latency frame by frame, and the highest rate that passes without loss.
//
// Frames carry their sequence number in the first four bytes of the 27-byte voice
// burst, which zelk copies unchanged in both directions. Everything here runs on
// the calling thread except a throughput run, which adds one receiving thread for
// its duration. The Rewind side answers every keep-alive it sees, so the daemon
// never takes the server for lost.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace floor_bench {

int64_t nowNs();

// A UDP socket bound to 127.0.0.1 (port 0: any free port); closed on destruction.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(int port = 0, bool closeOnExec = true);
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  bool ok() const { return fd >= 0; }
  int handle() const { return fd; }
  int port() const { return boundPort; }
  // Receive time-out in milliseconds for blocking receives.
  void setReceiveTimeout(int ms);
  // Throws away whatever is waiting, answering Rewind keep-alives to their sender.
  void drain();

 private:
  int fd = -1;
  int boundPort = 0;
};

// Where a datagram goes.
struct Endpoint {
  struct sockaddr_storage address {};
  socklen_t length = 0;
  static Endpoint loopback(int port);
};

// Which kind of datagram a path carries in and out.
enum class Wire { Tlv, Rewind };

// One direction through one forwarder: the socket frames are sent from, where they
// are sent to, and the socket they come out on.
struct Path {
  const char* name;
  int sendFd;
  Endpoint target;
  Wire sendWire;
  int receiveFd;
};

struct LatencySummary {
  size_t frames = 0;
  size_t lost = 0;
  double medianUs = 0, p99Us = 0, p999Us = 0, minUs = 0;
};

// Sends one frame, waits for it on the far side (at most timeoutMs), records the
// one-way time in samples (nanoseconds); false when it did not come out.
bool pingOne(const Path& path, uint32_t sequence, int timeoutMs, std::vector<int64_t>& samples);
LatencySummary summarise(std::vector<int64_t> samples, size_t lost);

struct RateTrial {
  double rate = 0;      // frames per second offered
  size_t sent = 0;
  size_t received = 0;  // in time and in one piece
  size_t late = 0;      // arrived later than the lateness bound
  double p99Us = 0;     // of the frames that arrived
  bool passed() const { return sent > 0 && received == sent && late == 0; }
};

// Offers frames at `rate` per second for `seconds` (sent in small batches every
// 500 microseconds) and counts what arrives; a frame more than lateMs behind its
// send time counts as late.
RateTrial offerRate(const Path& path, double rate, double seconds, int lateMs, uint32_t firstSequence);

// A bare relay: a child process that receives a datagram on its socket and sends it
// on to the destination, nothing else. Killed on destruction.
class Relay {
 public:
  // command: this program's path, optionally behind a taskset prefix.
  Relay(const std::vector<std::string>& command, int destinationPort);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  bool ok() const { return child > 0; }
  int port() const { return listenPort; }
  pid_t pid() const { return child; }

 private:
  pid_t child = -1;
  int listenPort = 0;
};

// The relay's body, for the child: never returns.
[[noreturn]] void runRelay(int fd, int destinationPort);

// Builds one frame of the wire kind carrying the sequence; returns its length.
size_t buildFrame(Wire wire, uint32_t sequence, uint8_t* out);
// The sequence a received datagram carries; false for anything that is not a
// voice frame (keep-alives, events, headers).
bool frameSequence(const uint8_t* data, size_t size, uint32_t* sequence);
// When the datagram is a Rewind keep-alive, answers it from fd to its sender.
void answerKeepAlive(const uint8_t* data, size_t size, int fd, const struct sockaddr_storage& from,
                     socklen_t fromLength);

}  // namespace floor_bench
