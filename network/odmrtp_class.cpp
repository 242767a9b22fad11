// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/odmrtp_class.h"

#include <errno.h>
#include <poll.h>
#include <strings.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "base/clock.h"
#include "support/sha256.h"
#include "telemetry/status_board.h"

namespace {

// The keep-alive's payload: user ID, this marker byte, then the text
// "<description> <system name> <machine name>" without a terminator.
constexpr uint8_t kKeepAliveMarker = 0x21;
constexpr size_t kKeepAliveTextOffset = 5;
// First word of a subscription payload, in front of the talk group.
constexpr uint32_t kSubscriptionKind = 7;

// Names under the top-level domain "invalid" never resolve; answer at once
// instead of asking a resolver that may be slow or unreachable.
bool isReservedInvalidName(const char* host) {
  size_t length = strlen(host);
  while (length > 0 && host[length - 1] == '.') --length;
  static const char kSuffix[] = ".invalid";
  const size_t suffixLength = sizeof(kSuffix) - 1;
  if (length == suffixLength - 1) return strncasecmp(host, kSuffix + 1, length) == 0;
  return length > suffixLength && strncasecmp(host + length - suffixLength, kSuffix, suffixLength) == 0;
}

// Resolves the server for datagrams of any family the host has configured. A
// literal address is also accepted where only loopback carries that family.
struct addrinfo* resolveServer(const char* host, const char* port) {
  if (host == nullptr || port == nullptr || host[0] == '\0' || isReservedInvalidName(host)) return nullptr;
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host, port, &hints, &result) == 0 && result != nullptr) return result;
  hints.ai_flags = AI_NUMERICHOST;
  result = nullptr;
  if (getaddrinfo(host, port, &hints, &result) == 0 && result != nullptr) return result;
  return nullptr;
}

void fillVoiceHeader(uint8_t header[REWIND_VOICE_HEADER_SIZE], int src, int dst, int callType) {
  memset(header, 0, REWIND_VOICE_HEADER_SIZE);
  header[0] = static_cast<uint8_t>(callType & 0x3F);
  writeBE24(header + 3, static_cast<uint32_t>(dst));
  writeBE24(header + 6, static_cast<uint32_t>(src));
}

}  // namespace

// 0 when the datagram's source is the server's endpoint. The dual-stack socket
// reports an IPv4 sender as an IPv4-mapped IPv6 address. Two IPv6 endpoints are the
// same when family, port, address and scope agree; flow information is not part of
// an endpoint and is ignored.
static int CompareAddresses(sockaddr* serverAddress, sockaddr_in6* sourceAddress) {
  if (serverAddress == nullptr || sourceAddress == nullptr || sourceAddress->sin6_family != AF_INET6) return 1;
  if (serverAddress->sa_family == AF_INET) {
    struct sockaddr_in server;
    memcpy(&server, serverAddress, sizeof(server));
    if (!IN6_IS_ADDR_V4MAPPED(&sourceAddress->sin6_addr)) return 1;
    bool same = memcmp(&sourceAddress->sin6_addr.s6_addr[12], &server.sin_addr, 4) == 0 &&
                sourceAddress->sin6_port == server.sin_port;
    return same ? 0 : 1;
  }
  if (serverAddress->sa_family == AF_INET6) {
    struct sockaddr_in6 server;
    memcpy(&server, serverAddress, sizeof(server));
    bool same = server.sin6_port == sourceAddress->sin6_port &&
                memcmp(&server.sin6_addr, &sourceAddress->sin6_addr, sizeof(server.sin6_addr)) == 0 &&
                server.sin6_scope_id == sourceAddress->sin6_scope_id;
    return same ? 0 : 1;
  }
  return 1;
}

const char ODMRTP_CLASS::messages[7][32] = {
    "Success", "Socket", "Wrong Address", "Wrong Data", "DNS Resolve", "Wrong Password", "Server Timeout",
};

ODMRTP_CLASS::ODMRTP_CLASS(unsigned int id, const char* description, Clock source, StatusBoard* statusBoard)
    : userID(id), clock(source), board(statusBoard) {
  if (!radioIDOf(id, &sourceID)) sourceID = id & 0xFFFFFF;
  context.reset(CreateRewindContext(id, description));
}

ODMRTP_CLASS::~ODMRTP_CLASS() { shutdownServer(); }

RewindContext* ODMRTP_CLASS::CreateRewindContext(unsigned int id, const char* description) {
  ContextPointer fresh(new (std::nothrow) RewindContext());
  if (!fresh) return nullptr;
  fresh->handle.reset(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fresh->handle.valid()) return nullptr;
  // Dual stack whatever the system default: IPv4 servers are reached through
  // IPv4-mapped addresses on the same socket.
  int off = 0;
  struct sockaddr_in6 any;
  memset(&any, 0, sizeof(any));
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_any;
  any.sin6_port = 0;
  struct timeval timeout = {kReceiveTimeoutSeconds, 0};
  const int handle = fresh->handle.get();
  if (setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0 ||
      bind(handle, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0 ||
      setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    return nullptr;  // the release closes the socket
  }

  struct utsname names;
  if (uname(&names) != 0) {
    names.sysname[0] = '\0';
    names.machine[0] = '\0';
  }
  writeLE32(fresh->data, id);
  fresh->data[4] = kKeepAliveMarker;
  const size_t room = sizeof(fresh->data) - kKeepAliveTextOffset;
  int text = snprintf(reinterpret_cast<char*>(fresh->data + kKeepAliveTextOffset), room, "%s %s %s",
                      description != nullptr ? description : "", names.sysname, names.machine);
  if (text < 0) text = 0;
  if (static_cast<size_t>(text) >= room) text = static_cast<int>(room - 1);  // cut; the terminator is not sent
  fresh->length = static_cast<int>(kKeepAliveTextOffset) + text;

  MutexLock lock(sendMutex);
  userID = id;
  if (!radioIDOf(id, &sourceID)) sourceID = id & 0xFFFFFF;  // the start-up refuses such IDs
  return fresh.release();
}

void ODMRTP_CLASS::ReleaseRewindContext(RewindContext* context) {
  if (context == nullptr) return;
  if (context->address != nullptr) freeaddrinfo(context->address);
  delete context;  // closes the socket
}

int ODMRTP_CLASS::ConnectRewindClient(const char* host, const char* port, const char* password, unsigned int tg) {
  RewindContext* ctx = networkContext();
  if (ctx == nullptr) return REWIND_ERROR_SOCKET;

  // The earlier resolution goes even when this one fails: no server, no sends.
  struct addrinfo* resolved = resolveServer(host, port);
  struct addrinfo* previous;
  {
    MutexLock lock(sendMutex);
    previous = ctx->address;
    ctx->address = resolved;
  }
  if (previous != nullptr) freeaddrinfo(previous);
  if (resolved == nullptr) return REWIND_ERROR_DNS_RESOLVE;

  char text[sizeof(resolvedAddress)];
  if (getnameinfo(resolved->ai_addr, resolved->ai_addrlen, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) == 0) {
    memcpy(resolvedAddress, text, sizeof(resolvedAddress));
    resolvedAddress[sizeof(resolvedAddress) - 1] = '\0';
  }

  if (password == nullptr) password = "";
  const size_t passwordLength = strlen(password);
  // The deadline runs on the monotonic clock: a board whose wall clock is set by NTP
  // after boot must neither give up at once nor wait for hours.
  const int64_t deadline = clock.monotonicMs() + static_cast<int64_t>(kLoginSeconds) * 1000;
  int answered = 0;
  alignas(8) uint8_t buffer[kLoginBufferSize];
  RewindData* packet = reinterpret_cast<RewindData*>(buffer);

  bool keepAliveDue = true;
  while (clock.monotonicMs() < deadline) {
    if (keepAliveDue) TransmitRewindKeepAlive();
    keepAliveDue = true;

    int received = ReceiveRewindData(packet, sizeof(buffer));
    int error = errno;
    if (received == REWIND_ERROR_WRONG_ADDRESS) {
      // A stranger's datagram neither ends the login nor makes us send: just
      // listen again within the same deadline.
      keepAliveDue = false;
      continue;
    }
    if (received == REWIND_ERROR_SOCKET && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) continue;
    if (received < 0) return received;

    switch (rewindType(packet)) {
      case REWIND_TYPE_CHALLENGE: {
        if (answered >= kMaxChallenges) return REWIND_ERROR_WRONG_PASSWORD;
        // The answer is SHA-256 over the challenge as received, then the password.
        // Hashing the two pieces in turn needs no buffer, whatever their lengths.
        uint8_t digest[SHA256_DIGEST_SIZE];
        Sha256Context sha;
        sha256_init(&sha);
        sha256_update(&sha, buffer + REWIND_HEADER_SIZE, static_cast<size_t>(received) - REWIND_HEADER_SIZE);
        sha256_update(&sha, password, passwordLength);
        sha256_final(&sha, digest);
        TransmitRewindData(REWIND_TYPE_AUTHENTICATION, REWIND_FLAG_NONE, digest, sizeof(digest));
        ++answered;
        break;
      }
      case REWIND_TYPE_SUBSCRIPTION:
        return REWIND_SUCCESS;
      case REWIND_TYPE_KEEP_ALIVE:
        SetRewindSubscription(tg != 0 ? tg : kDefaultTalkGroup);
        break;
      default:
        break;
    }
  }
  return REWIND_ERROR_SERVER_TIMEOUT;
}

int ODMRTP_CLASS::TransmitRewindData(unsigned short type, unsigned short flags, void* payload, unsigned int length) {
  MutexLock lock(sendMutex);
  return sendLocked(type, flags, payload, length);
}

int ODMRTP_CLASS::sendLocked(uint16_t type, uint16_t flags, const void* payload, unsigned int length) {
  RewindContext* ctx = context.get();
  if (ctx == nullptr) {
    errno = EBADF;
    return -1;
  }
  if (closed) {  // after closeSession nothing leaves, and no number is used
    errno = ESHUTDOWN;
    return -1;
  }
  if (ctx->address == nullptr) {  // not resolved: nothing to send to, no number used
    errno = EDESTADDRREQ;
    return -1;
  }
  if (length > 0xFFFF || (payload == nullptr && length > 0)) {  // the length field could not say it
    errno = EMSGSIZE;
    return -1;
  }

  uint32_t& counter = ctx->counters[flags & REWIND_FLAG_REAL_TIME_1];
  uint8_t header[REWIND_HEADER_SIZE];
  writeRewindHeader(header, type, flags, counter, static_cast<uint16_t>(length));

  struct iovec parts[2];
  parts[0].iov_base = header;
  parts[0].iov_len = sizeof(header);
  parts[1].iov_base = const_cast<void*>(payload);
  parts[1].iov_len = length;
  struct msghdr message;
  memset(&message, 0, sizeof(message));
  message.msg_name = ctx->address->ai_addr;
  message.msg_namelen = ctx->address->ai_addrlen;
  message.msg_iov = parts;
  message.msg_iovlen = length > 0 ? 2 : 1;

  ssize_t sent = sendmsg(ctx->handle.get(), &message, MSG_NOSIGNAL);
  ++counter;  // a failed send uses up its number too
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int ODMRTP_CLASS::ReceiveRewindData(RewindData* buffer, int size) {
  RewindContext* ctx = networkContext();
  if (ctx == nullptr || buffer == nullptr || size <= 0) {
    errno = ctx == nullptr ? EBADF : EINVAL;
    return REWIND_ERROR_SOCKET;
  }
  struct sockaddr_in6 source;
  memset(&source, 0, sizeof(source));
  socklen_t sourceLength = sizeof(source);
  ssize_t received = recvfrom(ctx->handle.get(), buffer, static_cast<size_t>(size), 0,
                              reinterpret_cast<sockaddr*>(&source), &sourceLength);
  if (received < 0) return REWIND_ERROR_SOCKET;
  if (ctx->address == nullptr || CompareAddresses(ctx->address->ai_addr, &source) != 0) {
    if (board != nullptr) board->count(StatusCounter::DroppedStranger);
    return REWIND_ERROR_WRONG_ADDRESS;
  }
  if (!isRewindPacket(buffer, static_cast<size_t>(received))) {
    if (board != nullptr) board->count(StatusCounter::DroppedMalformed);
    return REWIND_ERROR_WRONG_DATA;
  }
  return static_cast<int>(received);
}

bool ODMRTP_CLASS::waitOn(int timeoutMs, int wakeFd, bool* woken) {
  if (woken != nullptr) *woken = false;
  RewindContext* ctx = networkContext();
  if (ctx == nullptr) return false;
  struct pollfd fds[2];
  fds[0].fd = ctx->handle.get();
  fds[0].events = POLLIN;
  fds[0].revents = 0;
  fds[1].fd = wakeFd;
  fds[1].events = POLLIN;
  fds[1].revents = 0;
  int ready = poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
  if (woken != nullptr && ready > 0 && wakeFd >= 0) *woken = fds[1].revents != 0;
  return ready > 0 && (fds[0].revents & (POLLIN | POLLERR)) != 0;
}

bool ODMRTP_CLASS::waitForData(int seconds, int microseconds, int wakeFd) {
  return waitForData(seconds, microseconds, wakeFd, nullptr);
}

bool ODMRTP_CLASS::waitForData(int seconds, int microseconds, int wakeFd, bool* woken) {
  if (seconds < 0) seconds = 0;
  if (microseconds < 0) microseconds = 0;
  // Whole milliseconds, rounded up so a short wait is never a busy poll.
  long long timeoutMs = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
  if (timeoutMs > 0x7FFFFFFF) timeoutMs = 0x7FFFFFFF;
  return waitOn(static_cast<int>(timeoutMs), wakeFd, woken);
}

bool ODMRTP_CLASS::waitForData(int seconds, int microseconds) { return waitForData(seconds, microseconds, -1); }

bool ODMRTP_CLASS::waitForData() { return waitOn(-1, -1, nullptr); }

bool ODMRTP_CLASS::isReadDataReady() { return waitForData(0, 0); }

void ODMRTP_CLASS::TransmitRewindKeepAlive() {
  MutexLock lock(sendMutex);
  if (!context) return;
  sendLocked(REWIND_TYPE_KEEP_ALIVE, REWIND_FLAG_NONE, context->data, static_cast<unsigned int>(context->length));
}

void ODMRTP_CLASS::subscribeLocked(unsigned int tg) {
  sendLocked(REWIND_TYPE_CANCELLING, REWIND_FLAG_NONE, nullptr, 0);
  if (tg == 0) return;
  uint8_t payload[REWIND_SUBSCRIPTION_SIZE];
  writeLE32(payload, kSubscriptionKind);
  writeLE32(payload + 4, tg);
  sendLocked(REWIND_TYPE_SUBSCRIPTION, REWIND_FLAG_NONE, payload, sizeof(payload));
}

void ODMRTP_CLASS::SetRewindSubscription(unsigned int tg) {
  MutexLock lock(sendMutex);
  subscribeLocked(tg);
}

void ODMRTP_CLASS::setStaticTalkGroups(const std::vector<uint32_t>& groups) {
  MutexLock lock(sendMutex);
  staticGroups.clear();
  for (uint32_t group : groups) {
    if (std::find(staticGroups.begin(), staticGroups.end(), group) == staticGroups.end()) {
      staticGroups.push_back(group);
    }
  }
}

void ODMRTP_CLASS::subscribeTalkGroups(unsigned int tg) {
  MutexLock lock(sendMutex);
  subscribeLocked(tg);
  subscribeStaticLocked(tg);
}

void ODMRTP_CLASS::subscribeStaticTalkGroups(unsigned int tg) {
  MutexLock lock(sendMutex);
  subscribeStaticLocked(tg);
}

void ODMRTP_CLASS::subscribeStaticLocked(unsigned int tg) {
  uint8_t payload[REWIND_SUBSCRIPTION_SIZE];
  writeLE32(payload, kSubscriptionKind);
  for (uint32_t group : staticGroups) {
    if (group == tg) continue;
    writeLE32(payload + 4, group);
    sendLocked(REWIND_TYPE_SUBSCRIPTION, REWIND_FLAG_NONE, payload, sizeof(payload));
  }
}

void ODMRTP_CLASS::shutdownServer() {
  MutexLock lock(sendMutex);
  subscribeLocked(0);
  sendLocked(REWIND_TYPE_CLOSE, REWIND_FLAG_NONE, nullptr, 0);
}

void ODMRTP_CLASS::closeSession() {
  MutexLock lock(sendMutex);
  subscribeLocked(0);
  sendLocked(REWIND_TYPE_CLOSE, REWIND_FLAG_NONE, nullptr, 0);
  closed = true;
}

int ODMRTP_CLASS::resetRewindContext(unsigned int id, const char* description, const char* host, const char* port,
                                     const char* password, unsigned int tg) {
  shutdownServer();
  ContextPointer fresh(CreateRewindContext(id, description));
  if (!fresh) return REWIND_ERROR_SOCKET;
  {
    MutexLock lock(sendMutex);
    context.swap(fresh);
  }
  // fresh now holds the replaced context. Only this thread ever waits on or
  // receives from a context's socket, so nobody can still be using it.
  fresh.reset();
  return ConnectRewindClient(host, port, password, tg);
}

void ODMRTP_CLASS::setTransmitData(int src, int dst, int callType) {
  MutexLock lock(sendMutex);
  fillVoiceHeader(transmitData, src, dst, callType);
}

void ODMRTP_CLASS::beginTransmission(int src, int dst, int callType) {
  (void)src;  // calls always go out under this client's own radio ID
  MutexLock lock(sendMutex);
  fillVoiceHeader(transmitData, static_cast<int>(sourceID), dst, callType);
  localCall = true;
  lastVoiceMs = clock.monotonicMs();
  for (int i = 0; i < 3; ++i) {
    sendLocked(REWIND_TYPE_DMR_DATA_BASE + 1, REWIND_FLAG_REAL_TIME_1, transmitData, sizeof(transmitData));
  }
}

void ODMRTP_CLASS::transmitAudio(unsigned char* burst) {
  if (burst == nullptr) return;
  MutexLock lock(sendMutex);
  lastVoiceMs = clock.monotonicMs();
  sendLocked(REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, burst, REWIND_VOICE_BURST_SIZE);
}

void ODMRTP_CLASS::endTransmission() {
  MutexLock lock(sendMutex);
  localCall = false;
  sendLocked(REWIND_TYPE_DMR_DATA_BASE + 2, REWIND_FLAG_REAL_TIME_1, nullptr, 0);
}

int64_t ODMRTP_CLASS::msUntilLocalCallEnds() const {
  MutexLock lock(sendMutex);
  if (!localCall) return 0;
  const int64_t left = lastVoiceMs + kCallQuietMs - clock.monotonicMs();
  return left > 0 ? left : 0;
}

bool ODMRTP_CLASS::radioIDOf(uint32_t loginID, uint32_t* radioID) {
  uint32_t id = loginID;
  if (loginID > 0xFFFFFF) {
    if (loginID < 100000000u || loginID > 999999999u) return false;
    id = loginID / 100;  // the two-digit suffix goes
  }
  if (radioID != nullptr) *radioID = id;
  return true;
}

const char* ODMRTP_CLASS::getErrorMessage(int code) {
  if (code < -6 || code > 6) return "Unknown";
  return messages[code < 0 ? -code : code];
}

const char* ODMRTP_CLASS::getResolvedAddress() { return resolvedAddress; }

int ODMRTP_CLASS::WaitForRewindSessionEnd(RewindSessionPollData* data, long seconds, long microseconds) {
  (void)data;
  (void)seconds;
  (void)microseconds;
  return 0;
}

bool ODMRTP_CLASS::hasContext() const {
  MutexLock lock(sendMutex);
  return context != nullptr;
}
