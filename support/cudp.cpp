#include "support/cudp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "telemetry/log_class.h"

namespace {

bool isPortNumber(int port) { return port > 0 && port <= 65535; }

// Copies the ports in order up to the first 0, at most kMaxWritePorts.
void copyPorts(int* slots, const int* ports) {
  for (int i = 0; i < CUDP::kMaxWritePorts; ++i) slots[i] = 0;
  if (ports == nullptr) return;
  for (int i = 0; i < CUDP::kMaxWritePorts && ports[i] != 0; ++i) slots[i] = ports[i];
}

// The first IPv4 address of the host (dotted quad or name); false when there is none.
bool resolveIPv4(const char* host, struct in_addr* address) {
  if (host == nullptr) return false;
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> guard(found, freeaddrinfo);
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      *address = reinterpret_cast<struct sockaddr_in*>(entry->ai_addr)->sin_addr;
      return true;
    }
  }
  return false;
}

// Waits for the descriptors of fds to become readable; timeout null waits without
// limit. Returns poll's result.
int waitReadable(struct pollfd* fds, nfds_t count, const struct timespec* timeout) {
  return ppoll(fds, count, timeout, nullptr);
}

constexpr short kReadable = POLLIN | POLLERR | POLLHUP;

}  // namespace

CUDP::CUDP() = default;

CUDP::CUDP(const char* host, int port, int flags) { openSocket(host, port, flags); }

CUDP::CUDP(const char* host, const int* ports, int flags) {
  openSocket(host, ports != nullptr ? ports[0] : 0, ports, flags);
}

CUDP::CUDP(const char* host, int readPort, int writePort, int flags) {
  int ports[2] = {writePort, 0};
  openSocket(host, readPort, ports, flags);
}

CUDP::CUDP(const char* host, int readPort, const int* writePorts, int flags) {
  openSocket(host, readPort, writePorts, flags);
}

int CUDP::openSocket(const char* host, int port, int flags) {
  int ports[2] = {port, 0};
  return openSocket(host, port, ports, flags);
}

int CUDP::openSocket(const char* host, int newReadPort, const int* ports, int flags) {
  closeSocket();  // a second open must not leak the first descriptor

  std::lock_guard<std::mutex> lock(writeMutex);
  readPort = newReadPort;
  copyPorts(writePorts, ports);

  int created = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (created < 0) return created;
  sock = created;

  readSockAddr = {};
  readSockAddr.sin_family = AF_INET;
  readSockAddr.sin_port = htons(static_cast<uint16_t>(readPort));
  readSockAddr.sin_addr.s_addr = htonl(INADDR_ANY);

  if ((flags & 1) != 0) {
    int reuse = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
      int error = errno;
      logInstance.log(LOG_ERROR, "Cannot set the UDP socket option, err: %d (%s)\n", error, strerror(error));
    }
    int bound = -1;
    int error = EINVAL;  // a read port outside 0..65535 is never bound
    if (readPort >= 0 && readPort <= 65535) {
      bound = bind(sock, reinterpret_cast<struct sockaddr*>(&readSockAddr), sizeof(readSockAddr));
      error = errno;
    }
    if (bound != 0) {
      logInstance.log(LOG_ERROR, "Can not bind port %d, error code = %d (%s)\n", readPort, error, strerror(error));
    }
  }

  writeSockAddr = {};
  writeSockAddr.sin_family = AF_INET;
  writeSockAddr.sin_port = htons(static_cast<uint16_t>(writePorts[0]));
  writeSockAddr.sin_addr.s_addr = htonl(INADDR_ANY);
  resolveIPv4(host, &writeSockAddr.sin_addr);  // unresolved: stays 0.0.0.0, silently

  return sock;
}

void CUDP::closeSocket() {
  if (sock != -1) close(sock);
  sock = -1;
}

bool CUDP::waitForData() { return waitForData(-1); }

bool CUDP::waitForData(int wakeFd) {
  if (sock == -1) return false;
  struct pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  nfds_t count = wakeFd >= 0 ? 2 : 1;
  if (waitReadable(fds, count, nullptr) <= 0) return false;
  if (count == 2 && (fds[1].revents & (kReadable | POLLNVAL)) != 0) return false;
  return (fds[0].revents & kReadable) != 0;
}

bool CUDP::waitForData(int seconds, int microseconds) {
  if (sock == -1) return false;
  if (seconds < 0) seconds = 0;
  if (microseconds < 0) microseconds = 0;
  struct timespec timeout;
  timeout.tv_sec = seconds + microseconds / 1000000;
  timeout.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
  struct pollfd fds[1] = {{sock, POLLIN, 0}};
  if (waitReadable(fds, 1, &timeout) <= 0) return false;
  return (fds[0].revents & kReadable) != 0;
}

bool CUDP::isReadDataReady() { return waitForData(0, 0); }

int CUDP::readSocket(unsigned char* buffer, unsigned int size) {
  // The receive never blocks, so nothing waiting simply gives 0: no poll first.
  struct sockaddr_in source {};
  socklen_t sourceLength = sizeof(source);
  ssize_t received = recvfrom(sock, buffer, size, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&source),
                              &sourceLength);
  if (received < 1) return 0;

  std::lock_guard<std::mutex> lock(writeMutex);
  readSockAddr = source;
  if (source.sin_addr.s_addr != writeSockAddr.sin_addr.s_addr) return 0;  // not the partner: dropped
  return static_cast<int>(received);
}

int CUDP::writeSocket(const unsigned char* data, unsigned int length) {
  std::lock_guard<std::mutex> lock(writeMutex);
  int sum = 0;
  for (int i = 0; i < kMaxWritePorts && writePorts[i] != 0; ++i) {
    if (!isPortNumber(writePorts[i])) continue;  // no datagram to a port that cannot exist
    writeSockAddr.sin_port = htons(static_cast<uint16_t>(writePorts[i]));
    ssize_t sent = sendto(sock, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const struct sockaddr*>(&writeSockAddr), sizeof(writeSockAddr));
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
  static thread_local char text[80];
  struct in_addr address;
  {
    std::lock_guard<std::mutex> lock(writeMutex);
    address = readSockAddr.sin_addr;
  }
  if (inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr) text[0] = '\0';
  return text;
}

bool CUDP::isRegUser() {
  std::lock_guard<std::mutex> lock(writeMutex);
  return readSockAddr.sin_addr.s_addr == writeSockAddr.sin_addr.s_addr;
}

int CUDP::getLocalPort() const {
  if (sock == -1) return -1;
  struct sockaddr_in local {};
  socklen_t length = sizeof(local);
  if (getsockname(sock, reinterpret_cast<struct sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(local.sin_port);
}

bool CUDP::isLocalInterfaceAddress(const char* address) {
  if (address == nullptr) return false;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> guard(list, freeifaddrs);
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    // Interfaces without an address (tunnels, interfaces that are down) have none to compare.
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char host[NI_MAXHOST];
    if (getnameinfo(entry->ifa_addr, sizeof(struct sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
      continue;
    }
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
