// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/floor/floor_rig.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/big_endian.h"
#include "network/rewind_data.h"

extern char** environ;

namespace floor_bench {

namespace {

constexpr uint8_t kTagVoice = 7;   // a voice message of the local link
constexpr size_t kTlvVoiceSize = 30;
constexpr size_t kRewindVoiceSize = REWIND_HEADER_SIZE + REWIND_VOICE_BURST_SIZE;
constexpr size_t kMaxDatagram = 512;
constexpr int kBatch = 64;

// A receive buffer large enough that the measuring side never drops what the
// forwarder delivered: losses then belong to the forwarder.
void enlargeReceiveBuffer(int fd) {
  int size = 8 * 1024 * 1024;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
}

double percentileUs(const std::vector<int64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[std::min(index, sorted.size() - 1)]) / 1000.0;
}

}  // namespace

int64_t nowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

LoopbackSocket::LoopbackSocket(int port, bool closeOnExec) {
  fd = socket(AF_INET, SOCK_DGRAM | (closeOnExec ? SOCK_CLOEXEC : 0), 0);
  if (fd < 0) return;
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    fd = -1;
    return;
  }
  boundPort = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket() {
  if (fd >= 0) close(fd);
}

void LoopbackSocket::setReceiveTimeout(int ms) {
  struct timeval timeout = {ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

void LoopbackSocket::drain() {
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    struct sockaddr_storage from {};
    socklen_t fromLength = sizeof(from);
    ssize_t n = recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return;
    answerKeepAlive(buffer, static_cast<size_t>(n), fd, from, fromLength);
  }
}

Endpoint Endpoint::loopback(int port) {
  Endpoint e;
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  memcpy(&e.address, &address, sizeof(address));
  e.length = sizeof(address);
  return e;
}

size_t buildFrame(Wire wire, uint32_t sequence, uint8_t* out) {
  uint8_t* burst;
  size_t size;
  if (wire == Wire::Tlv) {
    out[0] = kTagVoice;
    out[1] = 28;
    out[2] = 1;  // slot
    burst = out + 3;
    size = kTlvVoiceSize;
  } else {
    writeRewindHeader(out, REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, sequence,
                      static_cast<uint16_t>(REWIND_VOICE_BURST_SIZE));
    burst = out + REWIND_HEADER_SIZE;
    size = kRewindVoiceSize;
  }
  writeBE32(burst, sequence);
  for (size_t i = 4; i < REWIND_VOICE_BURST_SIZE; ++i) burst[i] = static_cast<uint8_t>(sequence + i);
  return size;
}

bool frameSequence(const uint8_t* data, size_t size, uint32_t* sequence) {
  if (size == kTlvVoiceSize && data[0] == kTagVoice && data[1] == 28) {
    *sequence = readBE32(data + 3);
    return true;
  }
  if (size == kRewindVoiceSize && isRewindPacket(data, size) && readLE16(data + 8) == REWIND_TYPE_DMR_VOICE_FRAME) {
    *sequence = readBE32(data + REWIND_HEADER_SIZE);
    return true;
  }
  return false;
}

void answerKeepAlive(const uint8_t* data, size_t size, int fd, const struct sockaddr_storage& from,
                     socklen_t fromLength) {
  if (!isRewindPacket(data, size) || readLE16(data + 8) != REWIND_TYPE_KEEP_ALIVE) return;
  static uint32_t counter = 0;
  uint8_t reply[REWIND_HEADER_SIZE];
  writeRewindHeader(reply, REWIND_TYPE_KEEP_ALIVE, REWIND_FLAG_NONE, counter++, 0);
  sendto(fd, reply, sizeof(reply), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&from), fromLength);
}

bool pingOne(const Path& path, uint32_t sequence, int timeoutMs, std::vector<int64_t>& samples) {
  uint8_t frame[kMaxDatagram];
  size_t size = buildFrame(path.sendWire, sequence, frame);
  int64_t start = nowNs();
  if (sendto(path.sendFd, frame, size, 0, reinterpret_cast<const sockaddr*>(&path.target.address),
             path.target.length) != static_cast<ssize_t>(size)) {
    return false;
  }
  int64_t deadline = start + static_cast<int64_t>(timeoutMs) * 1000000;
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    struct sockaddr_storage from {};
    socklen_t fromLength = sizeof(from);
    ssize_t n = recvfrom(path.receiveFd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    int64_t arrival = nowNs();
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // the receive time-out passed
    }
    uint32_t got = 0;
    if (frameSequence(buffer, static_cast<size_t>(n), &got) && got == sequence) {
      samples.push_back(arrival - start);
      return true;
    }
    answerKeepAlive(buffer, static_cast<size_t>(n), path.receiveFd, from, fromLength);
    if (arrival > deadline) return false;
  }
}

LatencySummary summarise(std::vector<int64_t> samples, size_t lost) {
  LatencySummary s;
  std::sort(samples.begin(), samples.end());
  s.frames = samples.size();
  s.lost = lost;
  s.minUs = samples.empty() ? 0 : static_cast<double>(samples.front()) / 1000.0;
  s.medianUs = percentileUs(samples, 0.5);
  s.p99Us = percentileUs(samples, 0.99);
  s.p999Us = percentileUs(samples, 0.999);
  return s;
}

RateTrial offerRate(const Path& path, double rate, double seconds, int lateMs, uint32_t firstSequence) {
  RateTrial trial;
  trial.rate = rate;
  const size_t total = std::max<size_t>(1000, static_cast<size_t>(rate * seconds));
  std::vector<int64_t> sentAt(total, 0);
  std::vector<int64_t> arrivedAt(total, 0);
  std::atomic<bool> sending{true};
  std::atomic<int64_t> lastSend{0};
  enlargeReceiveBuffer(path.receiveFd);

  std::thread receiver([&] {
    uint8_t buffers[kBatch][kMaxDatagram];
    struct iovec iov[kBatch];
    struct mmsghdr messages[kBatch];
    struct sockaddr_storage from[kBatch];
    for (;;) {
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {buffers[i], kMaxDatagram};
        memset(&messages[i], 0, sizeof(messages[i]));
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof(from[i]);
      }
      struct pollfd wait = {path.receiveFd, POLLIN, 0};
      int ready = poll(&wait, 1, 50);
      if (ready <= 0) {
        // Quiet for 50 ms: done once the sender has finished long enough ago.
        if (!sending && nowNs() - lastSend.load() > static_cast<int64_t>(lateMs + 100) * 1000000) return;
        continue;
      }
      int n = recvmmsg(path.receiveFd, messages, kBatch, MSG_DONTWAIT, nullptr);
      int64_t arrival = nowNs();
      for (int i = 0; i < n; ++i) {
        uint32_t sequence = 0;
        if (frameSequence(buffers[i], messages[i].msg_len, &sequence)) {
          size_t index = sequence - firstSequence;
          if (index < total && arrivedAt[index] == 0) arrivedAt[index] = arrival;
        } else {
          answerKeepAlive(buffers[i], messages[i].msg_len, path.receiveFd, from[i], messages[i].msg_hdr.msg_namelen);
        }
      }
    }
  });

  // Frames go out in small batches every 500 microseconds, each frame as soon as
  // its own time has come: the offered rate holds without a busy wait.
  static uint8_t frames[kBatch][kMaxDatagram];
  struct iovec iov[kBatch];
  struct mmsghdr messages[kBatch];
  const int64_t start = nowNs();
  const double nsPerFrame = 1e9 / rate;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  size_t done = 0;
  while (done < total) {
    size_t due = static_cast<size_t>(static_cast<double>(nowNs() - start) / nsPerFrame) + 1;
    if (due > total) due = total;
    while (done < due) {
      int batch = static_cast<int>(std::min<size_t>(kBatch, due - done));
      for (int i = 0; i < batch; ++i) {
        size_t size = buildFrame(path.sendWire, firstSequence + static_cast<uint32_t>(done + i), frames[i]);
        iov[i] = {frames[i], size};
        memset(&messages[i], 0, sizeof(messages[i]));
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = const_cast<sockaddr_storage*>(&path.target.address);
        messages[i].msg_hdr.msg_namelen = path.target.length;
      }
      int64_t when = nowNs();
      int sent = sendmmsg(path.sendFd, messages, static_cast<unsigned>(batch), 0);
      if (sent <= 0) sent = batch;  // counted as sent: a refused send is a loss too
      for (int i = 0; i < sent; ++i) sentAt[done + i] = when;
      done += static_cast<size_t>(sent);
    }
    lastSend = nowNs();
    next.tv_nsec += 500000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  lastSend = nowNs();
  sending = false;
  receiver.join();

  std::vector<int64_t> latencies;
  latencies.reserve(total);
  const int64_t lateNs = static_cast<int64_t>(lateMs) * 1000000;
  trial.sent = total;
  for (size_t i = 0; i < total; ++i) {
    if (arrivedAt[i] == 0) continue;
    int64_t latency = arrivedAt[i] - sentAt[i];
    latencies.push_back(latency);
    if (latency > lateNs) {
      ++trial.late;
    } else {
      ++trial.received;
    }
  }
  std::sort(latencies.begin(), latencies.end());
  trial.p99Us = percentileUs(latencies, 0.99);
  return trial;
}

Relay::Relay(const std::vector<std::string>& command, int destinationPort) {
  LoopbackSocket listen(0, false);
  if (!listen.ok() || command.empty()) return;
  listenPort = listen.port();
  std::vector<std::string> words = command;
  words.insert(words.end(), {"--relay", std::to_string(listen.handle()), std::to_string(destinationPort)});
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) child = -1;
}

Relay::~Relay() {
  if (child <= 0) return;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

void runRelay(int fd, int destinationPort) {
  Endpoint to = Endpoint::loopback(destinationPort);
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      _exit(1);
    }
    sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&to.address), to.length);
  }
}

}  // namespace floor_bench
