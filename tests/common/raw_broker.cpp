// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/raw_broker.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"

namespace testing_support {

namespace {

// Waits for readability; false on time-out.
bool readable(int fd, long long deadline) {
  long long left = deadline - monotonicMilliseconds();
  if (left < 0) left = 0;
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(left)) == 1;
}

}  // namespace

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes text(const std::string& characters) { return Bytes(characters.begin(), characters.end()); }

Bytes operator+(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::string hex(const Bytes& data) {
  std::string out;
  char piece[4];
  for (uint8_t b : data) {
    snprintf(piece, sizeof(piece), "%02X ", b);
    out += piece;
  }
  return out;
}

Bytes publishPacket(const std::string& topic, const std::string& payload, int id) {
  Bytes body = bytes({static_cast<int>(topic.size() >> 8), static_cast<int>(topic.size() & 0xFF)}) + text(topic);
  if (id >= 0) body = body + bytes({id >> 8, id & 0xFF});
  body = body + text(payload);
  Bytes packet = bytes({id >= 0 ? 0x32 : 0x30});
  size_t value = body.size();
  do {
    uint8_t digit = value & 0x7F;
    value >>= 7;
    packet.push_back(value > 0 ? static_cast<uint8_t>(digit | 0x80) : digit);
  } while (value > 0);
  return packet + body;
}

RawBroker::RawBroker() {
  listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listenFd >= 0 && bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      listen(listenFd, 4) == 0 && getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    listenPort = ntohs(address.sin_port);
  }
}

RawBroker::~RawBroker() {
  closeConnection();
  if (listenFd >= 0) close(listenFd);
}

bool RawBroker::accept(int timeoutMs) {
  closeConnection();
  if (!readable(listenFd, monotonicMilliseconds() + timeoutMs)) return false;
  connectionFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  return connectionFd >= 0;
}

Bytes RawBroker::read(size_t count, int timeoutMs) {
  Bytes out;
  long long deadline = monotonicMilliseconds() + timeoutMs;
  while (connectionFd >= 0 && out.size() < count && readable(connectionFd, deadline)) {
    uint8_t piece[4096];
    size_t want = count - out.size() < sizeof(piece) ? count - out.size() : sizeof(piece);
    ssize_t got = recv(connectionFd, piece, want, 0);
    if (got <= 0) break;
    out.insert(out.end(), piece, piece + got);
  }
  return out;
}

bool RawBroker::send(const Bytes& data) {
  if (connectionFd < 0) return false;
  return ::send(connectionFd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

bool RawBroker::waitForClose(int timeoutMs) {
  long long deadline = monotonicMilliseconds() + timeoutMs;
  while (connectionFd >= 0 && readable(connectionFd, deadline)) {
    uint8_t piece[256];
    ssize_t got = recv(connectionFd, piece, sizeof(piece), 0);
    if (got <= 0) return true;
  }
  return false;
}

void RawBroker::closeConnection() {
  if (connectionFd >= 0) close(connectionFd);
  connectionFd = -1;
}

void RawBroker::resetConnection() {
  if (connectionFd < 0) return;
  struct linger abortive = {1, 0};
  setsockopt(connectionFd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
  closeConnection();
}

}  // namespace testing_support
