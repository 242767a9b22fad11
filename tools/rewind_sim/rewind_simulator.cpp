// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/rewind_sim/rewind_simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/thread_entry.h"
#include "network/rewind_data.h"
#include "support/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxChallengeLength = 1024;
constexpr size_t kOpenChallenges = 4;
constexpr uint32_t kDefaultTalkGroup = 9;
constexpr uint16_t kVoiceHeader = REWIND_TYPE_DMR_DATA_BASE + 1;
constexpr uint16_t kVoiceTerminator = REWIND_TYPE_DMR_DATA_BASE + 2;

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

bool isLoopback(const struct sockaddr* address) {
  if (address->sa_family == AF_INET) {
    struct sockaddr_in v4;
    memcpy(&v4, address, sizeof(v4));
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    struct sockaddr_in6 v6;
    memcpy(&v6, address, sizeof(v6));
    return IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) != 0;
  }
  return false;
}

std::vector<uint8_t> digestOf(const std::vector<uint8_t>& challenge, const std::string& password) {
  Sha256Context sha;
  sha256_init(&sha);
  sha256_update(&sha, challenge.data(), challenge.size());
  sha256_update(&sha, password.data(), password.size());
  std::vector<uint8_t> digest(SHA256_DIGEST_SIZE);
  sha256_final(&sha, digest.data());
  return digest;
}

// The talker alias blocks of a text: ISO 8-bit, at most 27 characters, six in
// the header and seven in each following block.
std::vector<std::vector<uint8_t>> encodeAliasBlocks(const std::string& text) {
  size_t length = std::min<size_t>(text.size(), 27);
  std::vector<std::vector<uint8_t>> blocks;
  if (length == 0) return blocks;
  size_t count = length / 7 + 1;
  for (size_t b = 0; b < count; ++b) {
    std::vector<uint8_t> block(9, 0);
    block[0] = static_cast<uint8_t>(4 + b);
    if (b == 0) {
      block[2] = static_cast<uint8_t>(0x40 | length << 1);
      for (size_t i = 0; i < 6 && i < length; ++i) block[3 + i] = static_cast<uint8_t>(text[i]);
    } else {
      for (size_t i = 0; i < 7 && 6 + (b - 1) * 7 + i < length; ++i) {
        block[2 + i] = static_cast<uint8_t>(text[6 + (b - 1) * 7 + i]);
      }
    }
    blocks.push_back(block);
  }
  return blocks;
}

std::string printable(const uint8_t* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += isprint(data[i]) ? static_cast<char>(data[i]) : '.';
  return text;
}

// What a line about a packet adds after its length: the fields a reader looks for.
std::string describe(uint16_t type, const uint8_t* p, size_t size) {
  char text[96];
  switch (type) {
    case REWIND_TYPE_KEEP_ALIVE:
      if (size >= 5) {
        return " id=" + std::to_string(readLE32(p)) + " \"" + printable(p + 5, size - 5) + "\"";
      }
      break;
    case REWIND_TYPE_SUBSCRIPTION:
      if (size >= 8) return " tg=" + std::to_string(readLE32(p + 4));
      break;
    case kVoiceHeader:
      if (size >= 9) {
        snprintf(text, sizeof(text), " %s %u -> %u", (p[0] & 0x3F) == 0 ? "group" : "private", readBE24(p + 6),
                 readBE24(p + 3));
        return text;
      }
      break;
    case REWIND_TYPE_DMR_EMBEDDED_DATA:
      if (size > 0) return " block=" + std::to_string(static_cast<int>(p[0]) - 4);
      break;
    default:
      break;
  }
  return "";
}

void writeByte(int fd) {
  const char wake = 1;
  if (write(fd, &wake, 1) < 0) {
    // The pipe is non-blocking and only ever needs one byte to be readable.
  }
}

}  // namespace

RewindSimulator::RewindSimulator() : randomBytes(std::random_device{}()) {}

RewindSimulator::~RewindSimulator() { stop(); }

bool RewindSimulator::start(const std::string& bindAddress, int port) {
  MutexLock lock(mutex);
  if (running) return true;
  lastError.clear();

  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  struct addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(bindAddress.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    lastError = "not a numeric address: " + bindAddress;
    return false;
  }
  struct addrinfo* address = found;
  if (!isLoopback(address->ai_addr)) {
    freeaddrinfo(found);
    lastError = "not a loopback address: " + bindAddress;
    return false;
  }
  handle.reset(socket(address->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int on = 1;
  bool ok = handle.valid() &&
            (address->ai_family != AF_INET6 ||
             setsockopt(handle.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0) &&
            bind(handle.get(), address->ai_addr, address->ai_addrlen) == 0;
  freeaddrinfo(found);
  struct sockaddr_storage bound;
  socklen_t boundLength = sizeof(bound);
  ok = ok && getsockname(handle.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0;
  ok = ok && wakePipe.open(O_CLOEXEC | O_NONBLOCK);
  if (!ok) {
    lastError = std::string("cannot listen on ") + bindAddress + " port " + service + ": " + strerror(errno);
    closeDescriptors();
    return false;
  }
  boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                          : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  stopping = false;
  if (pthread_create(&receiver, nullptr, receiveThread, this) != 0) {
    lastError = "cannot start the receive thread";
    closeDescriptors();
    return false;
  }
  if (pthread_create(&player, nullptr, playThread, this) != 0) {
    lastError = "cannot start the player thread";
    stopping = true;
    writeByte(wakePipe.write.get());
    lock.unlock();
    pthread_join(receiver, nullptr);
    lock.lock();
    closeDescriptors();
    return false;
  }
  running = true;
  trace("LISTEN %s port %d", bindAddress.c_str(), boundPort);
  return true;
}

void RewindSimulator::stop() {
  {
    MutexLock lock(mutex);
    if (!running) return;
    stopping = true;
    writeByte(wakePipe.write.get());
    jobsChanged.notifyAll();
  }
  pthread_join(receiver, nullptr);
  pthread_join(player, nullptr);
  MutexLock lock(mutex);
  closeDescriptors();
  running = false;
  changed.notifyAll();
}

void RewindSimulator::closeDescriptors() {
  handle.reset();
  wakePipe.read.reset();
  wakePipe.write.reset();
}

int RewindSimulator::port() const {
  MutexLock lock(mutex);
  return boundPort;
}

std::string RewindSimulator::error() const {
  MutexLock lock(mutex);
  return lastError;
}

void RewindSimulator::setPassword(const std::string& text) {
  MutexLock lock(mutex);
  password = text;
}

void RewindSimulator::setChallengeLength(size_t length) {
  MutexLock lock(mutex);
  challengeLength = std::max<size_t>(1, std::min(length, kMaxChallengeLength));
}

void RewindSimulator::setSilent(bool on) {
  MutexLock lock(mutex);
  silent = on;
  trace("%s", on ? "SILENT: answering nothing" : "ANSWERING again");
}

void RewindSimulator::setAnswerKeepAlives(bool answer) {
  MutexLock lock(mutex);
  answerKeepAlives = answer;
  trace("KEEP_ALIVE replies %s", answer ? "on" : "off");
}

void RewindSimulator::setParrot(bool on, int delayMs, bool dmrPace) {
  MutexLock lock(mutex);
  parrot = on;
  parrotDelayMs = std::max(0, delayMs);
  parrotPace = dmrPace;
}

void RewindSimulator::setTrace(FILE* out, bool bursts) {
  MutexLock lock(mutex);
  traceOut = out;
  traceBursts = bursts;
}

bool RewindSimulator::clientEndpoint(struct sockaddr_storage* address, socklen_t* length) const {
  MutexLock lock(mutex);
  if (clientLength == 0) return false;
  if (address != nullptr) *address = client;
  if (length != nullptr) *length = clientLength;
  return true;
}

std::string RewindSimulator::clientEndpointText() const {
  MutexLock lock(mutex);
  return clientText;
}

bool RewindSimulator::loggedIn() const {
  MutexLock lock(mutex);
  return authenticated;
}

uint32_t RewindSimulator::subscribedTalkGroup() const {
  MutexLock lock(mutex);
  return talkGroup;
}

std::set<uint32_t> RewindSimulator::subscribedTalkGroups() const {
  MutexLock lock(mutex);
  return subscriptions;
}

int RewindSimulator::callsPlayed() const {
  MutexLock lock(mutex);
  return played;
}

std::vector<SimPacket> RewindSimulator::packets() const {
  MutexLock lock(mutex);
  return received;
}

std::vector<SimPacket> RewindSimulator::packetsOfType(uint16_t type) const {
  MutexLock lock(mutex);
  std::vector<SimPacket> result;
  for (const SimPacket& p : received) {
    if (p.wellFormed && p.type == type) result.push_back(p);
  }
  return result;
}

size_t RewindSimulator::packetCount() const {
  MutexLock lock(mutex);
  return received.size();
}

void RewindSimulator::clearPackets() {
  MutexLock lock(mutex);
  received.clear();
}

bool RewindSimulator::waitForPacket(uint16_t type, size_t count, int timeoutMs) const {
  MutexLock lock(mutex);
  return changed.waitFor(mutex, std::chrono::milliseconds(timeoutMs), [&]() REQUIRES(mutex) {
    size_t seen = 0;
    for (const SimPacket& p : received) {
      if (p.wellFormed && p.type == type) ++seen;
    }
    return seen >= count;
  });
}

bool RewindSimulator::waitForPacketCount(size_t count, int timeoutMs) const {
  MutexLock lock(mutex);
  return changed.waitFor(mutex, std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(mutex) { return received.size() >= count; });
}

bool RewindSimulator::waitForLogin(int timeoutMs) const {
  MutexLock lock(mutex);
  return changed.waitFor(mutex, std::chrono::milliseconds(timeoutMs), [&]() REQUIRES(mutex) { return authenticated; });
}

bool RewindSimulator::waitForSubscriptions(const std::set<uint32_t>& groups, int timeoutMs) const {
  MutexLock lock(mutex);
  return changed.waitFor(mutex, std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(mutex) { return subscriptions == groups; });
}

bool RewindSimulator::playCall(const SimCall& call) {
  MutexLock lock(mutex);
  if (!running || !authenticated) return false;
  Job job = callJob(call);
  trace("PLAY %s call %u -> %u: %d headers, %d bursts%s", call.privateCall ? "private" : "group", call.source,
        call.destination != 0 ? call.destination : (talkGroup != 0 ? talkGroup : kDefaultTalkGroup), call.headers,
        call.bursts, call.talkerAlias.empty() ? "" : ", talker alias");
  jobs.push_back(std::move(job));
  jobsChanged.notifyAll();
  return true;
}

bool RewindSimulator::waitCallsDone(int timeoutMs) const {
  MutexLock lock(mutex);
  return changed.waitFor(mutex, std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(mutex) { return jobs.empty() && !playing; });
}

bool RewindSimulator::sendRaw(const void* data, size_t length) {
  MutexLock lock(mutex);
  if (!handle.valid() || clientLength == 0) return false;
  ssize_t sent = sendto(handle.get(), data, length, 0, reinterpret_cast<const sockaddr*>(&client), clientLength);
  trace("TX raw len=%zu", length);
  return sent == static_cast<ssize_t>(length);
}

bool RewindSimulator::sendPacket(uint16_t type, uint16_t flags, const void* payload, size_t length) {
  MutexLock lock(mutex);
  bool wasSilent = silent;
  silent = false;
  bool ok = sendLocked(type, flags, payload, length);
  silent = wasSilent;
  return ok;
}

void RewindSimulator::burstPayload(int index, uint8_t out[27]) {
  out[0] = static_cast<uint8_t>(index >> 8);
  out[1] = static_cast<uint8_t>(index);
  for (int i = 2; i < 27; ++i) out[i] = static_cast<uint8_t>(index + i);
}

const char* RewindSimulator::typeName(uint16_t type) {
  const char* name = rewindTypeName(type);
  return name != nullptr ? name : "UNKNOWN";
}

void* RewindSimulator::receiveThread(void* self) {
  pthread_setname_np(pthread_self(), "simReceive");
  return runOperation(self, &RewindSimulator::_receiveThread);
}

void* RewindSimulator::playThread(void* self) {
  pthread_setname_np(pthread_self(), "simPlay");
  return runOperation(self, &RewindSimulator::_playThread);
}

void RewindSimulator::_receiveThread() {
  int socketFd, wakeFd;
  {
    MutexLock lock(mutex);
    socketFd = handle.get();
    wakeFd = wakePipe.read.get();
  }
  uint8_t buffer[2048];
  for (;;) {
    struct pollfd fds[2] = {{socketFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    struct sockaddr_storage from;
    socklen_t fromLength = sizeof(from);
    ssize_t size =
        recvfrom(socketFd, buffer, sizeof(buffer), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (size < 0) continue;
    MutexLock lock(mutex);
    handleDatagram(buffer, static_cast<size_t>(size), from, fromLength);
    changed.notifyAll();
  }
}

void RewindSimulator::_playThread() {
  MutexLock lock(mutex);
  while (!stopping) {
    if (jobs.empty()) {
      jobsChanged.wait(mutex);
      continue;
    }
    Job job = std::move(jobs.front());
    jobs.pop_front();
    playing = true;
    jobsChanged.waitUntil(mutex, job.notBefore, [&]() REQUIRES(mutex) { return stopping; });
    const Clock::time_point begin = Clock::now();
    int slot = 0;
    for (const Step& step : job.steps) {
      if (stopping) break;
      if (job.dmrPace && step.paced) {
        Clock::time_point due = begin + std::chrono::milliseconds(kPacketIntervalMs * slot++);
        jobsChanged.waitUntil(mutex, due, [&]() REQUIRES(mutex) { return stopping; });
        if (stopping) break;
      }
      sendLocked(step.type, step.flags, step.payload.data(), step.payload.size(),
                 step.type != REWIND_TYPE_DMR_VOICE_FRAME);
    }
    playing = false;
    ++played;
    changed.notifyAll();
  }
}

void RewindSimulator::handleDatagram(const uint8_t* data, size_t size, const struct sockaddr_storage& from,
                                     socklen_t fromLength) {
  SimPacket packet;
  packet.raw.assign(data, data + size);
  packet.source = endpointText(from, fromLength);
  packet.arrival = Clock::now();
  packet.wellFormed = isRewindPacket(data, size);
  if (packet.wellFormed) {
    const RewindData* header = reinterpret_cast<const RewindData*>(data);
    packet.type = rewindType(header);
    packet.flags = rewindFlags(header);
    packet.sequence = rewindSequence(header);
    packet.length = rewindLength(header);
    packet.payload.assign(data + REWIND_HEADER_SIZE, data + size);
  }
  if (received.size() < kMaxRecordedPackets) received.push_back(packet);

  if (!packet.wellFormed) {
    traceReceived(packet, nullptr);
    return;
  }
  if (packet.source != clientText) {
    resetClient();
    client = from;
    clientLength = fromLength;
    clientText = packet.source;
    trace("CLIENT %s", clientText.c_str());
  }
  if (silent) {
    traceReceived(packet, "(silent)");
    return;
  }
  handlePacket(packet);
}

void RewindSimulator::handlePacket(const SimPacket& packet) {
  traceReceived(packet, nullptr);
  // Each phase of a session takes the packet types that are its own.
  if (!handleLoginPacket(packet) && !handleSessionPacket(packet)) handleCallPacket(packet);
}

bool RewindSimulator::handleLoginPacket(const SimPacket& packet) {
  const std::vector<uint8_t>& payload = packet.payload;
  if (packet.type == REWIND_TYPE_KEEP_ALIVE) {
    if (payload.size() >= 4) clientID = readLE32(payload.data());
    if (!authenticated) {
      sendChallenge();
    } else if (answerKeepAlives) {
      sendLocked(REWIND_TYPE_KEEP_ALIVE, REWIND_FLAG_NONE, nullptr, 0);
    }
    return true;
  }
  if (packet.type != REWIND_TYPE_AUTHENTICATION) return false;
  if (authenticated) return true;
  if (std::find(expectedAnswers.begin(), expectedAnswers.end(), payload) != expectedAnswers.end()) {
    authenticated = true;
    expectedAnswers.clear();
    trace("LOGIN %s id=%u accepted", clientText.c_str(), clientID);
  } else {
    trace("LOGIN %s id=%u wrong answer", clientText.c_str(), clientID);
    sendChallenge();
  }
  return true;
}

bool RewindSimulator::handleSessionPacket(const SimPacket& packet) {
  const std::vector<uint8_t>& payload = packet.payload;
  switch (packet.type) {
    case REWIND_TYPE_SUBSCRIPTION:
      if (authenticated && payload.size() >= REWIND_SUBSCRIPTION_SIZE) {
        const uint32_t group = readLE32(payload.data() + 4);
        if (subscriptions.empty()) talkGroup = group;
        sendLocked(REWIND_TYPE_SUBSCRIPTION, REWIND_FLAG_NONE, payload.data(), REWIND_SUBSCRIPTION_SIZE);
        if (subscriptions.insert(group).second) traceSubscriptions();
      }
      return true;
    case REWIND_TYPE_CANCELLING:
      if (authenticated) {
        talkGroup = 0;
        if (!subscriptions.empty()) {
          subscriptions.clear();
          traceSubscriptions();
        }
      }
      return true;
    case REWIND_TYPE_CLOSE:
      trace("CLOSE %s", clientText.c_str());
      resetClient();
      return true;
    default:
      return false;
  }
}

void RewindSimulator::handleCallPacket(const SimPacket& packet) {
  const std::vector<uint8_t>& payload = packet.payload;
  switch (packet.type) {
    case kVoiceHeader:
      if (!recording) {
        recording = true;
        recordedHeader = payload;
        recordedBursts.clear();
      }
      break;
    case REWIND_TYPE_DMR_VOICE_FRAME:
      if (recording && recordedBursts.size() < kMaxParrotBursts) recordedBursts.push_back(payload);
      break;
    case kVoiceTerminator:
      if (!recording) break;
      recording = false;
      trace("CALL from %s ended: %zu bursts", clientText.c_str(), recordedBursts.size());
      if (parrot && authenticated) queueParrotEcho();
      break;
    case REWIND_TYPE_DMR_EMBEDDED_DATA:
      collectAliasBlock(payload);
      break;
    default:
      break;
  }
}

void RewindSimulator::queueParrotEcho() {
  Job job;
  job.notBefore = Clock::now() + std::chrono::milliseconds(parrotDelayMs);
  job.dmrPace = parrotPace;
  for (int i = 0; i < 3; ++i) job.steps.push_back({kVoiceHeader, REWIND_FLAG_REAL_TIME_1, recordedHeader, true});
  for (auto& burst : recordedBursts) {
    job.steps.push_back({REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, std::move(burst), true});
  }
  job.steps.push_back({kVoiceTerminator, REWIND_FLAG_REAL_TIME_1, {}, true});
  recordedBursts.clear();
  trace("PARROT echo in %d ms", parrotDelayMs);
  jobs.push_back(std::move(job));
  jobsChanged.notifyAll();
}

void RewindSimulator::collectAliasBlock(const std::vector<uint8_t>& payload) {
  if (payload.size() < 9 || payload[0] < 4 || payload[0] > 7) return;
  int index = payload[0] - 4;
  aliasBlocks[index] = payload;
  if (aliasBlocks[0].size() < 9) return;
  int length = (aliasBlocks[0][2] >> 1) & 0x1F;
  if (length > 27 || index != length / 7) return;
  std::string text = printable(aliasBlocks[0].data() + 3, 6);
  for (int b = 1; b <= index; ++b) {
    text += aliasBlocks[b].size() == 9 ? printable(aliasBlocks[b].data() + 2, 7) : std::string(7, '?');
  }
  trace("TA \"%s\"", text.substr(0, static_cast<size_t>(length)).c_str());
  for (auto& block : aliasBlocks) block.clear();
}

void RewindSimulator::sendChallenge() {
  std::vector<uint8_t> challenge(challengeLength);
  for (uint8_t& byte : challenge) byte = static_cast<uint8_t>(randomBytes());
  expectedAnswers.push_back(digestOf(challenge, password));
  if (expectedAnswers.size() > kOpenChallenges) expectedAnswers.erase(expectedAnswers.begin());
  sendLocked(REWIND_TYPE_CHALLENGE, REWIND_FLAG_NONE, challenge.data(), challenge.size());
}

bool RewindSimulator::sendLocked(uint16_t type, uint16_t flags, const void* payload, size_t length, bool traced) {
  if (silent || !handle.valid() || clientLength == 0) return false;
  uint8_t header[REWIND_HEADER_SIZE];
  uint32_t& counter = counters[flags & REWIND_FLAG_REAL_TIME_1];
  writeRewindHeader(header, type, flags, counter++, static_cast<uint16_t>(length));
  std::vector<uint8_t> datagram(header, header + sizeof(header));
  if (length > 0) datagram.insert(datagram.end(), static_cast<const uint8_t*>(payload),
                                  static_cast<const uint8_t*>(payload) + length);
  ssize_t sent = sendto(handle.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&client),
                        clientLength);
  if (traced) {
    std::string detail = describe(type, static_cast<const uint8_t*>(payload), payload != nullptr ? length : 0);
    trace("TX %s seq=%u len=%zu%s", typeName(type), readLE32(header + 12), length, detail.c_str());
  }
  return sent == static_cast<ssize_t>(datagram.size());
}

void RewindSimulator::trace(const char* format, ...) {
  if (traceOut == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof(line) - 1, format, args);
  va_end(args);
  if (length < 0) return;
  size_t end = std::min(static_cast<size_t>(length), sizeof(line) - 2);
  line[end] = '\n';
  line[end + 1] = '\0';
  fputs(line, traceOut);  // one call: lines of other threads never cut into it
  fflush(traceOut);
}

void RewindSimulator::traceReceived(const SimPacket& packet, const char* note) {
  if (traceOut == nullptr) return;
  if (packet.wellFormed && packet.type == REWIND_TYPE_DMR_VOICE_FRAME && !traceBursts) return;
  if (!packet.wellFormed) {
    trace("RX ??? len=%zu from %s: not a Rewind packet", packet.raw.size(), packet.source.c_str());
    return;
  }
  std::string detail = describe(packet.type, packet.payload.data(), packet.payload.size());
  if (note != nullptr) detail += std::string(" ") + note;
  trace("RX %s seq=%u len=%zu%s", typeName(packet.type), packet.sequence, packet.payload.size(), detail.c_str());
}

RewindSimulator::Job RewindSimulator::callJob(const SimCall& call) const {
  Job job;
  job.notBefore = Clock::now();
  job.dmrPace = call.dmrPace;
  uint32_t destination = call.destination != 0 ? call.destination : (talkGroup != 0 ? talkGroup : kDefaultTalkGroup);
  std::vector<uint8_t> header(REWIND_VOICE_HEADER_SIZE, 0);
  header[0] = call.privateCall ? 3 : 0;
  writeBE24(header.data() + 3, destination);
  writeBE24(header.data() + 6, call.source);
  for (int i = 0; i < call.headers; ++i) job.steps.push_back({kVoiceHeader, REWIND_FLAG_REAL_TIME_1, header, true});

  std::vector<Step> alias;
  for (auto& block : encodeAliasBlocks(call.talkerAlias)) {
    alias.push_back({REWIND_TYPE_DMR_EMBEDDED_DATA, REWIND_FLAG_REAL_TIME_1, block, false});
  }
  int aliasAfter = std::min(std::max(call.aliasAfterBurst, 0), std::max(call.bursts, 0));
  for (int i = 0; i <= call.bursts; ++i) {
    if (i == aliasAfter) job.steps.insert(job.steps.end(), alias.begin(), alias.end());
    if (i == call.bursts) break;
    std::vector<uint8_t> burst(REWIND_VOICE_BURST_SIZE);
    burstPayload(i, burst.data());
    job.steps.push_back({REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, std::move(burst), true});
  }
  if (call.terminator) job.steps.push_back({kVoiceTerminator, REWIND_FLAG_REAL_TIME_1, {}, true});
  return job;
}

void RewindSimulator::traceSubscriptions() {
  std::string groups;
  for (uint32_t group : subscriptions) groups += (groups.empty() ? "" : ",") + std::to_string(group);
  trace("GROUPS %s", groups.empty() ? "none" : groups.c_str());
}

void RewindSimulator::resetClient() {
  authenticated = false;
  clientID = 0;
  talkGroup = 0;
  subscriptions.clear();
  expectedAnswers.clear();
  recording = false;
  recordedBursts.clear();
  for (auto& block : aliasBlocks) block.clear();
}
