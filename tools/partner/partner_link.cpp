// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/partner/partner_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "base/big_endian.h"
#include "base/host_address.h"
#include "local/tlv_class.h"

PartnerLink::~PartnerLink() { close(); }

bool PartnerLink::open(int listenPort, const std::string& daemonHost, int daemonPort) {
  close();
  HostAddress remote;
  if (resolveHost(daemonHost.c_str(), &remote) != 0) return false;
  remote.setPort(static_cast<uint16_t>(daemonPort));
  // The loopback address of the daemon's family.
  HostAddress local = HostAddress::wildcard(remote.family(), static_cast<uint16_t>(listenPort));
  if (local.family() == AF_INET) local.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (local.family() == AF_INET6) local.v6.sin6_addr = in6addr_loopback;
  sock.reset(socket(remote.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return false;
  int big = 4 * 1024 * 1024;
  setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  struct sockaddr_storage bound {};
  socklen_t len = sizeof(bound);
  if (bind(sock.get(), &local.any, local.length()) != 0 ||
      getsockname(sock.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0 ||
      connect(sock.get(), &remote.any, remote.length()) != 0 || !wakePipe.open(O_CLOEXEC)) {
    close();
    return false;
  }
  boundPort = HostAddress::fromSocket(reinterpret_cast<sockaddr*>(&bound), len).port();
  listenText = hostWithPort(local.text(), std::to_string(boundPort));
  receiver = std::thread(&PartnerLink::receiveLoop, this);
  return true;
}

void PartnerLink::close() {
  if (receiver.joinable()) {
    if (write(wakePipe.write.get(), "x", 1) != 1) {
      // The receiver also ends when the socket closes below; nothing more to do.
    }
    receiver.join();
  }
  sock.reset();
  wakePipe.read.reset();
  wakePipe.write.reset();
}

bool PartnerLink::send(const Datagram& datagram) {
  return sock.valid() &&
         ::send(sock.get(), datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size());
}

void PartnerLink::receiveLoop() {
  uint8_t buffer[2048];
  for (;;) {
    pollfd fds[2] = {{sock.get(), POLLIN, 0}, {wakePipe.read.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    // A refused send to a closed daemon port shows up as an error here: skip it.
    ssize_t n = recv(sock.get(), buffer, sizeof(buffer), 0);
    if (n < 0) continue;
    Datagram datagram(buffer, buffer + n);
    if (receiveCallback) receiveCallback(datagram);
    {
      MutexLock lock(mutex);
      datagrams.push_back(std::move(datagram));
    }
    arrived.notifyAll();
  }
}

namespace {

void put24(Datagram& d, uint32_t v) {
  d.resize(d.size() + 3);
  writeBE24(&d[d.size() - 3], v);
}

}  // namespace

Datagram PartnerLink::beginTx(uint32_t source, uint32_t destination, const std::string& metadata, uint32_t repeater,
                              uint8_t slot, uint8_t colourCode) {
  Datagram d{TAG_BEGIN_TX, 0};
  put24(d, source);
  d.resize(d.size() + 4);
  writeBE32(&d[d.size() - 4], repeater);
  put24(d, destination);
  d.push_back(slot);
  d.push_back(colourCode);
  d.insert(d.end(), metadata.begin(), metadata.end());
  d[1] = static_cast<uint8_t>(d.size() - 2);
  return d;
}

Datagram PartnerLink::voice(const uint8_t frames[27]) {
  Datagram d(30);
  d[0] = TAG_AMBE_72;
  d[1] = 28;
  d[2] = 1;
  memcpy(d.data() + 3, frames, 27);
  return d;
}

Datagram PartnerLink::voice(uint32_t sequence) {
  uint8_t frames[27];
  for (int i = 0; i < 27; ++i) frames[i] = static_cast<uint8_t>(i);
  // The sequence number sits in the first four bytes so a receiver can check order.
  for (int i = 0; i < 4; ++i) frames[i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
  return voice(frames);
}

Datagram PartnerLink::endTx() { return Datagram{TAG_END_TX, 1, 1}; }

Datagram PartnerLink::remoteCommand(const std::string& text, bool withZero) {
  Datagram d{TAG_REMOTE_CMD, 0};
  d.insert(d.end(), text.begin(), text.end());
  if (withZero) d.push_back(0);
  d[1] = static_cast<uint8_t>(d.size() - 2);
  return d;
}

void PartnerLink::sendCall(uint32_t source, uint32_t destination, int count, int paceMs, const std::string& metadata,
                           uint32_t firstSequence) {
  send(beginTx(source, destination, metadata));
  for (int i = 0; i < count; ++i) {
    if (paceMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
    send(voice(firstSequence + static_cast<uint32_t>(i)));
  }
  if (paceMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
  send(endTx());
}

std::vector<Datagram> PartnerLink::received() {
  MutexLock lock(mutex);
  return datagrams;
}

void PartnerLink::clear() {
  MutexLock lock(mutex);
  datagrams.clear();
}

bool PartnerLink::waitUntil(const std::function<bool(const std::vector<Datagram>&)>& predicate, int timeoutMs) {
  MutexLock lock(mutex);
  return arrived.waitFor(mutex, std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(mutex) { return predicate(datagrams); });
}

size_t PartnerLink::countTag(const std::vector<Datagram>& list, uint8_t tag) {
  size_t n = 0;
  for (const Datagram& d : list) {
    if (!d.empty() && d[0] == tag) ++n;
  }
  return n;
}

bool PartnerLink::waitForCount(uint8_t tag, size_t count, int timeoutMs) {
  return waitUntil([&](const std::vector<Datagram>& list) { return countTag(list, tag) >= count; }, timeoutMs);
}

std::string PartnerLink::describe(const Datagram& d) {
  char text[512];
  if (d.size() < 2 || d[1] != d.size() - 2) {
    snprintf(text, sizeof(text), "malformed datagram of %zu bytes", d.size());
    return text;
  }
  const uint8_t* v = d.data() + 2;
  switch (d[0]) {
    case TAG_BEGIN_TX:
      if (d[1] < 12) break;
      snprintf(text, sizeof(text), "BEGIN src=%u dst=%u slot=%u %s", readBE24(v), readBE24(v + 7), v[10],
               (v[11] & 0x80) != 0 ? "private" : "group");
      return text;
    case TAG_AMBE_72:
      snprintf(text, sizeof(text), "VOICE %02X%02X%02X%02X...", v[1], v[2], v[3], v[4]);
      return text;
    case TAG_END_TX:
      return "END";
    case TAG_EVENT:
      snprintf(text, sizeof(text), "EVENT %.*s", d[1] > 0 ? d[1] - 1 : 0, reinterpret_cast<const char*>(v));
      return text;
    default:
      break;
  }
  snprintf(text, sizeof(text), "tag %u with %u value bytes", d[0], d[1]);
  return text;
}
