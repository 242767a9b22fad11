// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/mqtt_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/host_address.h"
#include "base/unique_fd.h"

namespace {

constexpr int kSliceMs = 1000;

// Polls until one of the descriptors is ready or the deadline passes: what poll
// returned, 0 at the deadline.
int pollUntil(const Clock& clock, struct pollfd* fds, nfds_t count, long long deadline) {
  for (;;) {
    long long left = deadline - clock.monotonicMs();
    if (left < 0) left = 0;
    int ready = poll(fds, count, static_cast<int>(left < kSliceMs ? left : kSliceMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0 || left <= kSliceMs) return ready;
  }
}

// The receive time-out of the socket in milliseconds, 0 for none.
long long receiveTimeoutMs(int sock) {
  struct timeval timeout {};
  socklen_t length = sizeof(timeout);
  if (getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length) != 0) return 0;
  return static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000;
}

// Waits until the socket is ready for the events, the deadline passes or the
// cancel descriptor (-1: none) is signalled. True only when the socket is ready.
bool waitReady(const Clock& clock, int sock, short events, long long deadline, int cancelFd) {
  struct pollfd fds[2] = {{sock, events, 0}, {cancelFd, POLLIN, 0}};
  int ready = pollUntil(clock, fds, cancelFd >= 0 ? 2 : 1, deadline);
  return ready > 0 && !(cancelFd >= 0 && fds[1].revents != 0);
}

bool connectWithTimeout(const Clock& clock, int sock, const HostAddress& address, int timeoutMs, int cancelFd) {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  bool connected = ::connect(sock, &address.any, address.length()) == 0;
  if (!connected && errno == EINPROGRESS) {
    int error = 0;
    socklen_t length = sizeof(error);
    connected = waitReady(clock, sock, POLLOUT, clock.monotonicMs() + timeoutMs, cancelFd) &&
                getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  if (fcntl(sock, F_SETFL, flags) < 0) return false;
  return connected;
}

}  // namespace

int MqttSocket::connect(const Clock& clock, const char* host, uint16_t port, int timeoutMs, int cancelFd) {
  HostAddress address;
  if (resolveHost(host, &address) != 0) return -1;
  address.setPort(port);
  UniqueFd sock(socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid() || !connectWithTimeout(clock, sock.get(), address, timeoutMs, cancelFd)) return -1;
  return sock.release();
}

MqttSocket::Readiness MqttSocket::waitForData(const Clock& clock, int sock, int wakeFd, long long timeoutMs) {
  struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {sock, POLLIN, 0}};
  int ready = pollUntil(clock, fds, sock >= 0 ? 2 : 1, clock.monotonicMs() + timeoutMs);
  if (ready <= 0) return Readiness::TimedOut;
  if (fds[0].revents != 0) return Readiness::Woken;
  return Readiness::Readable;
}

MqttSocket::Read MqttSocket::receiveExactly(const Clock& clock, int sock, uint8_t* data, size_t length) {
  size_t done = 0;
  const long long timeoutMs = receiveTimeoutMs(sock);
  while (done < length) {
    ssize_t got = -1;
    struct pollfd readable = {sock, POLLIN, 0};
    if (timeoutMs > 0 && pollUntil(clock, &readable, 1, clock.monotonicMs() + timeoutMs) == 0) {
      errno = EAGAIN;
    } else {
      got = recv(sock, data + done, length - done, 0);
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Read::Failed;
    if (got == 0) return Read::EndOfStream;
    done += static_cast<size_t>(got);
  }
  return Read::Complete;
}

size_t MqttSocket::receiveWithin(const Clock& clock, int sock, uint8_t* data, size_t length, int timeoutMs,
                                 int cancelFd) {
  long long deadline = clock.monotonicMs() + timeoutMs;
  size_t received = 0;
  while (received < length && waitReady(clock, sock, POLLIN, deadline, cancelFd)) {
    ssize_t got = recv(sock, data + received, length - received, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) break;
    received += static_cast<size_t>(got);
  }
  return received;
}

ssize_t MqttSocket::send(int sock, const uint8_t* data, size_t length) {
  ssize_t sent;
  do {
    sent = ::send(sock, data, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

MqttSocket::Waiting MqttSocket::peek(int sock) {
  char next;
  ssize_t peeked = recv(sock, &next, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked > 0) return Waiting::Data;
  if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Waiting::Nothing;
  return Waiting::EndOrError;
}

int MqttSocket::setTimeout(int sock, int option, int milliseconds) {
  struct timeval timeout;
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(sock, SOL_SOCKET, option, &timeout, sizeof(timeout));
}
