// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/road/road_relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>

namespace {

constexpr int kMostPerWake = 64;       // datagrams read from one socket before the other gets its turn
constexpr int kMostWaitMs = 1000;      // a wait ends at least this often, should the clock jump
constexpr uint64_t kDownSeed = 0xD1B54A32D192ED03ull;  // the down way's generator differs from the up way's

std::string endpointText(const struct sockaddr_storage& address, socklen_t length) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof(host), service, sizeof(service),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  if (address.ss_family == AF_INET6) return std::string("[") + host + "]:" + service;
  return std::string(host) + ":" + service;
}

bool isLoopback(const struct sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr) >> 24) == 127;
  }
  return address.ss_family == AF_INET6 &&
         IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr) != 0;
}

int portOf(const struct sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// "127.0.0.1:PORT" or "[::1]:PORT" into an address; false with *error set.
bool parseEndpoint(const std::string& text, const char* what, struct sockaddr_storage* out, socklen_t* length,
                   std::string* error) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find("]:");
    if (close != std::string::npos) {
      host = text.substr(1, close - 1);
      port = text.substr(close + 2);
    }
  } else {
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
    }
  }
  char* end = nullptr;
  long number = port.empty() ? -1 : strtol(port.c_str(), &end, 10);
  if (host.empty() || number < 0 || number > 65535 || *end != '\0') {
    *error = std::string(what) + " must be ADDR:PORT or [ADDR]:PORT, not '" + text + "'";
    return false;
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    *error = std::string(what) + ": not a numeric address: " + host;
    return false;
  }
  memcpy(out, found->ai_addr, found->ai_addrlen);
  *length = found->ai_addrlen;
  freeaddrinfo(found);
  if (!isLoopback(*out)) {
    *error = std::string(what) + ": not a loopback address (127.0.0.0/8 or ::1): " + host;
    return false;
  }
  return true;
}

bool sameEndpoint(const struct sockaddr_storage& a, socklen_t aLength, const struct sockaddr_storage& b,
                  socklen_t bLength) {
  return aLength == bLength && memcmp(&a, &b, aLength) == 0;
}

}  // namespace

RoadRelay::RoadRelay(Clock clock) : clock(clock) {}

bool RoadRelay::open(const RoadSettings& settings) {
  lastError.clear();
  refused = true;
  struct sockaddr_storage wanted {};
  socklen_t wantedLength = 0;
  if (!parseEndpoint(settings.listen, "--listen", &wanted, &wantedLength, &lastError) ||
      !parseEndpoint(settings.server, "--server", &server, &serverLength, &lastError)) {
    return false;
  }
  if (portOf(server) == 0) {
    lastError = "--server needs a port from 1 to 65535";
    return false;
  }
  refused = false;
  int on = 1;
  listening.reset(socket(wanted.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  boundLength = sizeof(bound);
  if (!listening.valid() ||
      (wanted.ss_family == AF_INET6 && setsockopt(listening.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
      bind(listening.get(), reinterpret_cast<const sockaddr*>(&wanted), wantedLength) != 0 ||
      getsockname(listening.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    lastError = "cannot listen on " + settings.listen + ": " + strerror(errno);
    return false;
  }
  // Connected: the kernel hands this socket only the server's datagrams.
  upstream.reset(socket(server.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!upstream.valid() || connect(upstream.get(), reinterpret_cast<const sockaddr*>(&server), serverLength) != 0) {
    lastError = "cannot open a socket towards " + settings.server + ": " + strerror(errno);
    return false;
  }
  ways.clear();
  ways.emplace_back(settings.up, settings.seed);
  ways.emplace_back(settings.down, settings.seed ^ kDownSeed);
  pauses = settings.pauses;
  startUs = clock.monotonicUs();
  return true;
}

std::string RoadRelay::listenText() const { return endpointText(bound, boundLength); }
std::string RoadRelay::serverText() const { return endpointText(server, serverLength); }

void RoadRelay::pauseFor(int64_t ms) { deadUntilUs = std::max(deadUntilUs, clock.monotonicUs() + ms * 1000); }

bool RoadRelay::dead(int64_t nowUs) const {
  if (nowUs < deadUntilUs) return true;
  for (const RoadSettings::Pause& p : pauses) {
    const int64_t from = startUs + static_cast<int64_t>(p.atSeconds * 1e6);
    if (nowUs >= from && nowUs < from + static_cast<int64_t>(p.seconds * 1e6)) return true;
  }
  return false;
}

void RoadRelay::run(int controlFd, const std::function<bool()>& onControl,
                    const std::function<void(const std::string&)>& onClient) {
  for (;;) {
    int64_t now = clock.monotonicUs();
    const int64_t next = nextEventUs();
    int waitMs = kMostWaitMs;
    if (next != std::numeric_limits<int64_t>::max()) {
      waitMs = static_cast<int>(std::min<int64_t>(kMostWaitMs, std::max<int64_t>(0, (next - now + 999) / 1000)));
    }
    struct pollfd fds[3] = {{controlFd, POLLIN, 0}, {listening.get(), POLLIN, 0}, {upstream.get(), POLLIN, 0}};
    if (poll(fds, 3, waitMs) < 0 && errno != EINTR) {
      perror("zelk-road: poll");
      return;
    }
    now = clock.monotonicUs();
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0 && !onControl()) return;
    if ((fds[1].revents & POLLIN) != 0) receive(listening.get(), static_cast<int>(RoadWay::Up), now, onClient);
    if ((fds[2].revents & POLLIN) != 0) receive(upstream.get(), static_cast<int>(RoadWay::Down), now, onClient);
    depart(clock.monotonicUs());
  }
}

void RoadRelay::receive(int fd, int way, int64_t nowUs, const std::function<void(const std::string&)>& onClient) {
  for (int i = 0; i < kMostPerWake; ++i) {
    struct sockaddr_storage from {};
    socklen_t fromLength = sizeof(from);
    ssize_t n = recvfrom(fd, datagram.data(), datagram.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
    if (n < 0) return;  // drained, or the server's port refused a datagram sent earlier
    if (way == static_cast<int>(RoadWay::Up)) {
      if (clientLength == 0) {
        client = from;
        clientLength = fromLength;
        if (onClient) onClient(endpointText(client, clientLength));
      } else if (!sameEndpoint(from, fromLength, client, clientLength)) {
        ++strangerCount;
        continue;
      }
    }
    enter(way, datagram.data(), static_cast<size_t>(n), nowUs);
  }
}

void RoadRelay::enter(int way, const uint8_t* data, size_t size, int64_t nowUs) {
  Way& w = ways[static_cast<size_t>(way)];
  ++w.counts.received;
  const RoadDecision d = w.model.next();
  if (dead(nowUs) || d.lost || departures.size() >= kMostQueued) {
    ++w.counts.lost;
    return;
  }
  const int64_t due = nowUs + d.delayUs;
  const uint64_t order = entered++;
  if (d.heldBack && !w.holding) {
    w.holding = true;
    w.heldOrder = order;
    w.heldUntilUs = due + kMostHeldUs;
    w.held.assign(data, data + size);
  } else {
    queue(Departure{due, order, way, false, std::vector<uint8_t>(data, data + size)});
  }
  if (d.doubled) {
    ++w.counts.doubled;
    queue(Departure{due + RoadModel::kCopyAfterUs, entered++, way, true, std::vector<uint8_t>(data, data + size)});
  }
}

void RoadRelay::queue(Departure&& departure) {
  departures.push_back(std::move(departure));
  std::push_heap(departures.begin(), departures.end(), std::greater<Departure>());
}

void RoadRelay::depart(int64_t nowUs) {
  while (!departures.empty() && departures.front().atUs <= nowUs) {
    std::pop_heap(departures.begin(), departures.end(), std::greater<Departure>());
    Departure leaving = std::move(departures.back());
    departures.pop_back();
    Way& w = ways[static_cast<size_t>(leaving.way)];
    transmit(leaving.way, leaving.bytes, nowUs);
    if (w.holding && !leaving.copy && leaving.order > w.heldOrder) {
      ++w.counts.reordered;
      w.holding = false;
      transmit(leaving.way, w.held, nowUs);
    }
  }
  for (size_t way = 0; way < ways.size(); ++way) {
    Way& w = ways[way];
    if (w.holding && w.heldUntilUs <= nowUs) {
      w.holding = false;
      transmit(static_cast<int>(way), w.held, nowUs);
    }
  }
}

void RoadRelay::transmit(int way, const std::vector<uint8_t>& bytes, int64_t nowUs) {
  Way& w = ways[static_cast<size_t>(way)];
  if (dead(nowUs)) {
    ++w.counts.lost;
    return;
  }
  ssize_t n = -1;
  if (way == static_cast<int>(RoadWay::Up)) {
    n = send(upstream.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
  } else if (clientLength != 0) {
    n = sendto(listening.get(), bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&client),
               clientLength);
  }
  if (n >= 0) ++w.counts.sent;
}

int64_t RoadRelay::nextEventUs() const {
  int64_t next = departures.empty() ? std::numeric_limits<int64_t>::max() : departures.front().atUs;
  for (const Way& w : ways) {
    if (w.holding) next = std::min(next, w.heldUntilUs);
  }
  return next;
}

std::string RoadRelay::countsJson() const {
  std::string json = "{";
  const char* names[2] = {"up", "down"};
  for (size_t way = 0; way < ways.size() && way < 2; ++way) {
    const RoadCounts& c = ways[way].counts;
    char part[256];
    snprintf(part, sizeof(part),
             "\"%s\":{\"received\":%llu,\"sent\":%llu,\"lost\":%llu,\"doubled\":%llu,\"reordered\":%llu},",
             names[way], static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.sent),
             static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.doubled),
             static_cast<unsigned long long>(c.reordered));
    json += part;
  }
  json += "\"strangers\":" + std::to_string(strangerCount) + "}";
  return json;
}
