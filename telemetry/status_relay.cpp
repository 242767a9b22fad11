// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_relay.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/thread_entry.h"

namespace {

// The request direction needs no more than the page's server reads (4 KiB);
// answers stream through the larger one.
constexpr size_t kRequestBuffer = 4096;
constexpr size_t kAnswerBuffer = 16384;

// Bytes on their way from one socket to the other.
template <size_t kSize>
struct Stream {
  char data[kSize];
  size_t used = 0;
  size_t sent = 0;
  bool ended = false;  // the source has closed its side

  bool empty() const { return sent == used; }
  // Reads what the source has: false when the connection failed. A reset ends
  // the stream like a close (the page's server resets once it has answered);
  // what arrived before it has been read by then.
  bool fill(int from) {
    ssize_t got = recv(from, data, sizeof(data), MSG_DONTWAIT);
    if (got < 0 && errno == ECONNRESET) got = 0;
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    used = static_cast<size_t>(got);
    sent = 0;
    ended = got == 0;
    return true;
  }
  // Writes what it holds: false when the connection failed.
  bool drain(int to) {
    ssize_t put = send(to, data + sent, used - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (put < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    sent += static_cast<size_t>(put);
    return true;
  }
};

}  // namespace

struct StatusRelay::Connection {
  UniqueFd client;
  UniqueFd server;
  Stream<kRequestBuffer> request;
  Stream<kAnswerBuffer> answer;
  int64_t lastMoveMs = 0;

  // What each side is waited for: read while the stream from it is empty and
  // open, write while the stream to it holds bytes. Nothing: the side is left
  // out of the poll, so a hang-up that cannot be acted on yet does not spin.
  short clientEvents() const {
    return static_cast<short>((request.empty() && !request.ended ? POLLIN : 0) | (answer.empty() ? 0 : POLLOUT));
  }
  short serverEvents() const {
    return static_cast<short>((answer.empty() && !answer.ended ? POLLIN : 0) | (request.empty() ? 0 : POLLOUT));
  }

  // Moves what the poll found ready; false once the connection is over: the
  // server's answer has reached the client, or either side failed.
  bool move(short clientReady, short serverReady) {
    // An error or a hang-up shows in the read or the write it disturbs.
    const short kAny = POLLIN | POLLOUT | POLLHUP | POLLERR;
    const bool readClient = (clientEvents() & POLLIN) != 0, readServer = (serverEvents() & POLLIN) != 0;
    if ((clientReady & kAny) != 0 && readClient) {
      if (!request.fill(client.get())) return false;
      if (request.ended) shutdown(server.get(), SHUT_WR);
    }
    if ((serverReady & kAny) != 0 && readServer && !answer.fill(server.get())) return false;
    if ((serverReady & kAny) != 0 && !request.empty() && !request.drain(server.get())) return false;
    if ((clientReady & kAny) != 0 && !answer.empty() && !answer.drain(client.get())) return false;
    return !(answer.ended && answer.empty());
  }
};

StatusRelay::~StatusRelay() {
  if (!running) return;
  stop.poke();
  pthread_join(thread, nullptr);
}

bool StatusRelay::listen(const HostAddress& address, std::string* why) {
  listener.reset(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  // The wildcard takes both families; a single address only its own.
  const int v6only = IN6_IS_ADDR_UNSPECIFIED(&address.v6.sin6_addr) ? 0 : 1;
  const int on = 1;  // as the page's server: a restart need not wait for old connections
  if (!stop.isOpen() || !listener.valid() || address.family() != AF_INET6 ||
      setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) != 0 ||
      setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      bind(listener.get(), &address.any, address.length()) != 0 || ::listen(listener.get(), kMaxConnections) != 0) {
    *why = strerror(errno);
    listener.reset();
    return false;
  }
  return true;
}

bool StatusRelay::start(uint16_t targetPort, std::string* why) {
  target = targetPort;
  if (!listener.valid() || pthread_create(&thread, nullptr, serve, this) != 0) {
    *why = "cannot start the relay's thread";
    listener.reset();
    return false;
  }
  running = true;
  return true;
}

void* StatusRelay::serve(void* object) { return runOperation(object, &StatusRelay::_serve); }

void StatusRelay::_serve() {
  pthread_setname_np(pthread_self(), "statusRelay");
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<struct pollfd> fds;
  for (;;) {
    fds.assign({{stop.readFd(), POLLIN, 0}, {listener.get(), POLLIN, 0}});
    for (const auto& c : connections) {
      short toClient = c->clientEvents(), toServer = c->serverEvents();
      fds.push_back({toClient != 0 ? c->client.get() : -1, toClient, 0});
      fds.push_back({toServer != 0 ? c->server.get() : -1, toServer, 0});
    }
    // Idle, the thread sleeps until a client comes; with connections it looks
    // at the clock once a second for those that moved nothing.
    if (poll(fds.data(), fds.size(), connections.empty() ? -1 : 1000) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    const int64_t now = clock.monotonicMs();
    for (size_t i = 0; i < connections.size(); ++i) {
      const short clientReady = fds[2 + 2 * i].revents, serverReady = fds[3 + 2 * i].revents;
      Connection& c = *connections[i];
      bool open = true;
      if ((clientReady | serverReady) != 0) {
        open = c.move(clientReady, serverReady);
        c.lastMoveMs = now;
      }
      if (!open || now - c.lastMoveMs > kIdleMs) connections[i].reset();
    }
    connections.erase(std::remove(connections.begin(), connections.end(), nullptr), connections.end());
    if ((fds[1].revents & POLLIN) == 0) continue;
    UniqueFd client(accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client.valid() || connections.size() >= static_cast<size_t>(kMaxConnections)) continue;
    auto c = std::make_unique<Connection>();
    c->client = std::move(client);
    c->server.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    HostAddress page = HostAddress::wildcard(AF_INET, target);
    page.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // On loopback the connect completes at once or soon; the first write waits for it.
    if (!c->server.valid() || (connect(c->server.get(), &page.any, page.length()) != 0 && errno != EINPROGRESS)) {
      continue;
    }
    c->lastMoveMs = now;
    connections.push_back(std::move(c));
  }
}
