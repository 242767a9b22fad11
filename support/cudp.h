// SPDX-License-Identifier: GPL-2.0-or-later
// One UDP socket with a fixed partner host of either address family: datagrams
// are received on a local read port, only those from the partner host (any
// source port) are kept, and every write goes to the partner on each of up to 16
// write ports. The socket is dual stack (IPv4 peers arrive IPv4-mapped and count
// as their IPv4 address), or IPv4 alone where the system has no IPv6.
// Writes (writeSocket, sendRecv) and isRegUser are safe from any thread; waiting
// and reading belong to one reader thread. The endpoint owns its descriptor:
// closeSocket or the destructor closes it (the daemon keeps its endpoint for the
// life of the process). Opening an open endpoint closes the old descriptor first.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

#include "base/clock.h"
#include "base/host_address.h"
#include "base/mutex.h"
#include "base/unique_fd.h"

class CUDP {
 public:
  static constexpr int kMaxWritePorts = 16;
  // Bits of the flags argument: bind the read port; and leave the report of a
  // failed bind to the owner (bindError), which then does not start without it.
  static constexpr int kBindReadPort = 1;
  static constexpr int kOwnerReportsBind = 2;

  // Closed until openSocket is called.
  CUDP();
  // The opening constructors take the clock whose monotonic time paces the
  // lookups of an unresolved partner host (the system's by default).
  // Read port and single write port both equal to port.
  CUDP(const char* host, int port, int flags, Clock clock = Clock());
  // Read port: the first entry; write ports: the whole list (ended by 0).
  CUDP(const char* host, const int* ports, int flags, Clock clock = Clock());
  CUDP(const char* host, int readPort, int writePort, int flags, Clock clock = Clock());
  CUDP(const char* host, int readPort, const int* writePorts, int flags, Clock clock = Clock());
  ~CUDP() = default;
  CUDP(const CUDP&) = delete;
  CUDP& operator=(const CUDP&) = delete;

  // Opens the endpoint; kBindReadPort binds the read port, exclusively (no
  // address reuse) and for both families. Returns the descriptor, or a negative
  // value when no socket could be created. A failed bind is logged (unless
  // kOwnerReportsBind) and leaves the endpoint open for sending. The host
  // (address of either family or name) is resolved IPv4 first (resolveHost);
  // a host that does not resolve is logged as a warning, nothing is
  // sent or received until it does, and writes look it up again at most once
  // every 10 seconds (the writer that looks it up waits for the resolver).
  int openSocket(const char* host, int readPort, const int* writePorts, int flags) EXCLUDES(writeMutex);
  int openSocket(const char* host, int port, int flags) EXCLUDES(writeMutex);
  bool isOpen() const { return sock.valid(); }
  // The errno of the last open's failed bind; 0 when it bound or was not asked to.
  int bindError() const { return bindErrno; }
  void closeSocket();

  // Blocks until a datagram can be read. False when the wait fails (a signal,
  // a closed endpoint).
  bool waitForData();
  // The same, also woken when wakeFd becomes readable: then false. The wake
  // descriptor is not read.
  bool waitForData(int wakeFd);
  // The same with a time limit: false on time-out.
  bool waitForData(int seconds, int microseconds);
  // Never blocks.
  bool isReadDataReady();

  // Reads at most one waiting datagram into buffer (a longer one is cut to
  // size). Returns the bytes placed, or 0 when nothing is waiting, the datagram
  // came from another host (it is consumed and dropped, and *stranger, when
  // given, is set) or the receive failed.
  int readSocket(unsigned char* buffer, unsigned int size, bool* stranger = nullptr) EXCLUDES(writeMutex);
  // Sends the data as one datagram to each write port without blocking. Returns
  // the sum of the sends' results (bytes sent, -1 for a failed send, and for each
  // port while the partner host is unresolved); 0 with no write port.
  int writeSocket(const unsigned char* data, unsigned int length) EXCLUDES(writeMutex);
  // Request and reply: with one write port and the datagram fully sent, waits up
  // to 5 seconds and returns readSocket's result; otherwise 0.
  int sendRecv(const unsigned char* data, int length, unsigned char* buffer, int size);

  // The last sender's address (the bind address before the first receive). For
  // the reader thread.
  const HostAddress* getReadSockAddr() const { return &readSockAddr; }
  // The last sender's address as numeric text (dotted quad for IPv4), in a
  // per-thread buffer that the next call on the same thread overwrites.
  const char* getReadAddressAsString() EXCLUDES(writeMutex);
  // Whether the last datagram came from the partner host.
  bool isRegUser() EXCLUDES(writeMutex);
  // The local port the socket is bound to (useful with read port 0), or -1.
  int getLocalPort() const;

  // Whether the numeric text is the address of a local interface (either family).
  static bool isLocalInterfaceAddress(const char* address);
  // Test hook, for every endpoint (nullptr restores the default): the host lookup
  // (0, or a getaddrinfo error code).
  using ResolveFn = int (*)(const char* host, HostAddress* address);
  static void setResolver(ResolveFn resolver);

  // The positive ports among the 16 slots as "p1,p2,..." in a per-thread buffer
  // that the next call on the same thread overwrites.
  static const char* getTransmitPorts(const int* ports);

 private:
  HostAddress readSockAddr GUARDED_BY(writeMutex);   // written by the reader
  HostAddress writeSockAddr GUARDED_BY(writeMutex);  // address fixed at open; port rewritten per send
  UniqueFd sock;
  int socketFamily = AF_INET6;  // AF_INET where the system has no IPv6
  int bindErrno = 0;
  int readPort GUARDED_BY(writeMutex) = 0;
  int writePorts[kMaxWritePorts] GUARDED_BY(writeMutex) = {};
  Mutex writeMutex;

  // Looks an unresolved partner host up again when the retry is due; true once
  // it is resolved.
  bool resolvePartnerIfDue() EXCLUDES(resolveMutex, writeMutex);
  std::string partnerHost;                   // kept for the retries
  bool hasHost = false;
  std::atomic<bool> partnerResolved{false};  // set under writeMutex
  Mutex resolveMutex;                        // one lookup at a time
  std::atomic<int64_t> nextResolveMs{0};     // when the next lookup is due, monotonic
  const Clock clock{};                       // the system's for an endpoint made closed
};
