// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/cudp.h"

#include <errno.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/clock.h"
#include "telemetry/log_class.h"

namespace {

bool isPortNumber(int port) { return port > 0 && port <= 65535; }

// Copies the ports in order up to the first 0, at most kMaxWritePorts.
void copyPorts(int* slots, const int* ports) {
  for (int i = 0; i < CUDP::kMaxWritePorts; ++i) slots[i] = 0;
  if (ports == nullptr) return;
  for (int i = 0; i < CUDP::kMaxWritePorts && ports[i] != 0; ++i) slots[i] = ports[i];
}

// Retries of a partner host that did not resolve are at least this far apart.
constexpr int64_t kResolveRetryMs = 10000;

const char* resolveErrorText(int result, int error) {
  return result == EAI_SYSTEM ? strerror(error) : gai_strerror(result);
}

std::atomic<CUDP::ResolveFn> resolverOverride{nullptr};

int lookUp(const char* host, HostAddress* address) {
  CUDP::ResolveFn resolver = resolverOverride.load();
  return (resolver != nullptr ? resolver : resolveHost)(host, address);
}

// A datagram socket for both families, or for IPv4 alone where the system has
// no IPv6 (the family is stored); -1 when neither can be made.
int openDatagramSocket(int* family) {
  int created = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int off = 0;
  if (created >= 0 && setsockopt(created, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) == 0) {
    *family = AF_INET6;
    return created;
  }
  if (created >= 0) close(created);
  *family = AF_INET;
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

// Waits for the descriptors of fds to become readable; timeout null waits without
// limit. Returns poll's result.
int waitReadable(struct pollfd* fds, nfds_t count, const struct timespec* timeout) {
  return ppoll(fds, count, timeout, nullptr);
}

constexpr short kReadable = POLLIN | POLLERR | POLLHUP;

}  // namespace

void CUDP::setResolver(ResolveFn resolver) { resolverOverride.store(resolver); }

CUDP::CUDP() = default;

CUDP::CUDP(const char* host, int port, int flags, Clock source) : clock(source) { openSocket(host, port, flags); }

CUDP::CUDP(const char* host, const int* ports, int flags, Clock source) : clock(source) {
  openSocket(host, ports != nullptr ? ports[0] : 0, ports, flags);
}

CUDP::CUDP(const char* host, int readPort, int writePort, int flags, Clock source) : clock(source) {
  int ports[2] = {writePort, 0};
  openSocket(host, readPort, ports, flags);
}

CUDP::CUDP(const char* host, int readPort, const int* writePorts, int flags, Clock source) : clock(source) {
  openSocket(host, readPort, writePorts, flags);
}

int CUDP::openSocket(const char* host, int port, int flags) {
  int ports[2] = {port, 0};
  return openSocket(host, port, ports, flags);
}

int CUDP::openSocket(const char* host, int newReadPort, const int* ports, int flags) {
  closeSocket();  // a second open must not leak the first descriptor

  MutexLock lock(writeMutex);
  readPort = newReadPort;
  copyPorts(writePorts, ports);

  int created = openDatagramSocket(&socketFamily);
  if (created < 0) return created;
  sock.reset(created);

  // Until the first receive, the last sender reads as the IPv4 wildcard.
  readSockAddr = HostAddress::wildcard(AF_INET, static_cast<uint16_t>(readPort));
  bindErrno = 0;

  // The read port is bound without address reuse: while we hold it, no other
  // socket (of any user) can bind it on any address of either family and read
  // the partner's messages.
  if ((flags & kBindReadPort) != 0) {
    int bound = -1;
    int error = EINVAL;  // a read port outside 0..65535 is never bound
    if (readPort >= 0 && readPort <= 65535) {
      HostAddress any = HostAddress::wildcard(socketFamily, static_cast<uint16_t>(readPort));
      bound = bind(sock.get(), &any.any, any.length());
      error = errno;
    }
    if (bound != 0) {
      bindErrno = error;
      if ((flags & kOwnerReportsBind) == 0) {
        logInstance.log(LOG_ERROR, "Can not bind port %d, error code = %d (%s)\n", readPort, error, strerror(error));
      }
    }
  }

  hasHost = host != nullptr;
  partnerHost = hasHost ? host : "";
  writeSockAddr = HostAddress();
  int result = lookUp(host, &writeSockAddr);
  int error = errno;
  partnerResolved = result == 0;
  if (!partnerResolved) {
    // Nothing is sent (0.0.0.0 would be this host) until a retry resolves it.
    nextResolveMs = clock.monotonicMs() + kResolveRetryMs;
    logInstance.log(LOG_WARNING, "Can not resolve the partner host %s (%s), nothing is sent to it until it resolves\n",
                    hasHost ? host : "(none)", resolveErrorText(result, error));
  }
  return sock.get();
}

void CUDP::closeSocket() { sock.reset(); }

bool CUDP::waitForData() { return waitForData(-1); }

bool CUDP::waitForData(int wakeFd) {
  if (!sock.valid()) return false;
  struct pollfd fds[2] = {{sock.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  nfds_t count = wakeFd >= 0 ? 2 : 1;
  if (waitReadable(fds, count, nullptr) <= 0) return false;
  if (count == 2 && (fds[1].revents & (kReadable | POLLNVAL)) != 0) return false;
  return (fds[0].revents & kReadable) != 0;
}

bool CUDP::waitForData(int seconds, int microseconds) {
  if (!sock.valid()) return false;
  if (seconds < 0) seconds = 0;
  if (microseconds < 0) microseconds = 0;
  struct timespec timeout;
  timeout.tv_sec = seconds + microseconds / 1000000;
  timeout.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
  struct pollfd fds[1] = {{sock.get(), POLLIN, 0}};
  if (waitReadable(fds, 1, &timeout) <= 0) return false;
  return (fds[0].revents & kReadable) != 0;
}

bool CUDP::isReadDataReady() { return waitForData(0, 0); }

int CUDP::readSocket(unsigned char* buffer, unsigned int size, bool* stranger) {
  if (stranger != nullptr) *stranger = false;
  // The receive never blocks, so nothing waiting simply gives 0: no poll first.
  struct sockaddr_storage from {};
  socklen_t fromLength = sizeof(from);
  ssize_t received =
      recvfrom(sock.get(), buffer, size, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
  if (received < 1) return 0;
  const HostAddress source = HostAddress::fromSocket(reinterpret_cast<struct sockaddr*>(&from), fromLength);

  MutexLock lock(writeMutex);
  readSockAddr = source;
  // Not the partner (or no partner address yet): dropped.
  if (!partnerResolved || !source.sameHost(writeSockAddr)) {
    if (stranger != nullptr) *stranger = true;
    return 0;
  }
  return static_cast<int>(received);
}

bool CUDP::resolvePartnerIfDue() {
  // One lookup at a time, outside writeMutex: other writers meanwhile drop their
  // datagrams instead of waiting for the resolver.
  if (!resolveMutex.tryLock()) return false;
  MutexLock resolving(resolveMutex, std::adopt_lock);
  if (partnerResolved) return true;
  int64_t now = clock.monotonicMs();
  if (now < nextResolveMs) return false;
  nextResolveMs = now + kResolveRetryMs;
  HostAddress address;
  if (lookUp(hasHost ? partnerHost.c_str() : nullptr, &address) != 0) return false;
  {
    MutexLock lock(writeMutex);
    writeSockAddr = address;
    partnerResolved = true;
  }
  logInstance.log(LOG_INFO, "Partner host %s resolved to %s\n", partnerHost.c_str(), address.text().c_str());
  return true;
}

int CUDP::writeSocket(const unsigned char* data, unsigned int length) {
  const bool resolved = partnerResolved || resolvePartnerIfDue();
  MutexLock lock(writeMutex);
  int sum = 0;
  for (int i = 0; i < kMaxWritePorts && writePorts[i] != 0; ++i) {
    if (!isPortNumber(writePorts[i])) continue;  // no datagram to a port that cannot exist
    if (!resolved) {  // no partner address yet: a failed send
      sum += -1;
      continue;
    }
    HostAddress to = writeSockAddr.forSocket(socketFamily);
    to.setPort(static_cast<uint16_t>(writePorts[i]));
    ssize_t sent = sendto(sock.get(), data, length, MSG_DONTWAIT | MSG_NOSIGNAL, &to.any, to.length());
    sum += sent < 0 ? -1 : static_cast<int>(sent);
  }
  return sum;
}

int CUDP::sendRecv(const unsigned char* data, int length, unsigned char* buffer, int size) {
  if (length < 0 || size < 0) return 0;
  if (writeSocket(data, static_cast<unsigned int>(length)) != length) return 0;
  if (!waitForData(5, 0)) return 0;
  return readSocket(buffer, static_cast<unsigned int>(size));
}

const char* CUDP::getReadAddressAsString() {
  static thread_local char text[80];  // an IPv6 address with its scope fits
  HostAddress address;
  {
    MutexLock lock(writeMutex);
    address = readSockAddr;
  }
  snprintf(text, sizeof(text), "%s", address.text().c_str());
  return text;
}

bool CUDP::isRegUser() {
  MutexLock lock(writeMutex);
  return partnerResolved && readSockAddr.sameHost(writeSockAddr);
}

int CUDP::getLocalPort() const {
  if (!sock.valid()) return -1;
  struct sockaddr_storage local {};
  socklen_t length = sizeof(local);
  if (getsockname(sock.get(), reinterpret_cast<struct sockaddr*>(&local), &length) != 0) return -1;
  return HostAddress::fromSocket(reinterpret_cast<struct sockaddr*>(&local), length).port();
}

bool CUDP::isLocalInterfaceAddress(const char* address) {
  if (address == nullptr) return false;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> guard(list, freeifaddrs);
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    // Interfaces without an address (tunnels, interfaces that are down) have none to compare.
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    const socklen_t length = family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
    char host[NI_MAXHOST];
    if (getnameinfo(entry->ifa_addr, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) continue;
    if (strcmp(host, address) == 0) {
      logInstance.log(LOG_DEBUG, "Looked for and found ip %s on local interface %s\n", address, entry->ifa_name);
      return true;
    }
  }
  return false;
}

const char* CUDP::getTransmitPorts(const int* ports) {
  // Sixteen ports of at most 11 characters each, their commas and the end.
  static thread_local char text[kMaxWritePorts * 12 + 1];
  size_t used = 0;
  text[0] = '\0';
  if (ports == nullptr) return text;
  for (int i = 0; i < kMaxWritePorts; ++i) {
    if (ports[i] <= 0) continue;
    int written = snprintf(text + used, sizeof(text) - used, used == 0 ? "%d" : ",%d", ports[i]);
    if (written > 0) used += static_cast<size_t>(written);
  }
  return text;
}
