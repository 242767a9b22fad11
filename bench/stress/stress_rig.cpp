// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/stress/stress_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <thread>

#include "base/big_endian.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"

extern char** environ;

namespace stress_bench {

namespace {

void frameBytes(uint32_t sequence, uint8_t out[27]) {
  for (int i = 0; i < 27; ++i) out[i] = static_cast<uint8_t>(0x40 + i);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
}

}  // namespace

int64_t nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void sleepUntil(Clock::time_point t) {
  struct timespec at;
  int64_t ns = nanos(t);
  at.tv_sec = ns / 1000000000;
  at.tv_nsec = ns % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

Child::Child(const std::vector<std::string>& command, const std::string& outFile,
             const std::vector<std::string>& extraEnv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The extra entries replace inherited ones of the same name.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced = replaced || extra.compare(0, name.size(), name) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  struct sched_param normal {};
  posix_spawnattr_setschedpolicy(&attributes, SCHED_OTHER);
  posix_spawnattr_setschedparam(&attributes, &normal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSCHEDULER);
  if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

bool Child::running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

void Child::signal(int number) const {
  if (pid > 0) kill(pid, number);
}

void Child::stop() {
  if (pid <= 0) return;
  kill(pid, SIGCONT);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

int Child::terminate(int timeoutMs) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(20000);
  }
  stop();
  return -1;
}

bool acceptsConnections(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

Broker::Broker(const std::string& dir, int port) : dir(dir), port(port) {
  std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
}

bool Broker::start() {
  const char* path = access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "/usr/bin/mosquitto";
  process.reset(new Child({path, "-c", dir + "/mosquitto.conf"}, dir + "/mosquitto.out", {}));
  for (int i = 0; i < 250; ++i) {
    if (acceptsConnections(port)) return true;
    usleep(20000);
  }
  return false;
}

void Record::noteSent(uint32_t sequence, int64_t at) {
  std::lock_guard<std::mutex> lock(mutex);
  sent.emplace_back(sequence, at);
}

void Record::noteArrived(uint32_t sequence, int64_t at) {
  std::lock_guard<std::mutex> lock(mutex);
  arrived.emplace_back(sequence, at);
}

void Record::clear() {
  std::lock_guard<std::mutex> lock(mutex);
  sent.clear();
  arrived.clear();
}

Figures Record::figures() {
  std::lock_guard<std::mutex> lock(mutex);
  Figures f;
  f.sent = sent.size();
  std::vector<std::pair<uint32_t, int64_t>> bySequence;
  uint32_t highest = 0;
  bool any = false;
  for (const auto& a : arrived) {
    if (any && a.first <= highest) ++f.reordered;  // also a duplicate
    highest = any ? std::max(highest, a.first) : a.first;
    any = true;
  }
  std::vector<double> delays;
  double gap = 0;
  const std::pair<uint32_t, int64_t>* previousSent = nullptr;
  int64_t previousArrival = 0;
  for (const auto& s : sent) {
    auto found = std::find_if(arrived.begin(), arrived.end(), [&](const auto& a) { return a.first == s.first; });
    if (found == arrived.end()) {
      ++f.lost;
      previousSent = nullptr;
      continue;
    }
    ++f.received;
    delays.push_back(static_cast<double>(found->second - s.second) / 1e6);
    if (previousSent != nullptr) {
      double added = static_cast<double>((found->second - previousArrival) - (s.second - previousSent->second)) / 1e6;
      gap = std::max(gap, added);
    }
    previousSent = &s;
    previousArrival = found->second;
  }
  std::sort(delays.begin(), delays.end());
  auto at = [&](double q) { return delays.empty() ? 0 : delays[std::min(delays.size() - 1, static_cast<size_t>(q * delays.size()))]; };
  f.p50Ms = at(0.5);
  f.p99Ms = at(0.99);
  f.maxMs = delays.empty() ? 0 : delays.back();
  f.gapMs = gap;
  return f;
}

Rig::Rig(const CallPlan& plan, RewindSimulator& sim, PartnerLink& partner) : plan(plan), sim(sim), partner(partner) {
  partner.onReceive([this](const Datagram& d) {
    int64_t now = nanos(Clock::now());
    if (d.size() == 30 && d[0] == TAG_AMBE_72) inbound.noteArrived(readBE32(d.data() + 3), now);
    // The begin of a network call carries no number: it is the one sent last.
    if (!d.empty() && d[0] == TAG_BEGIN_TX) inbound.noteArrived(beginSequence.load(), now);
  });
}

std::pair<Figures, Figures> Rig::run(const Event& event) {
  sim.clearPackets();
  inbound.clear();
  outbound.clear();
  if (event.start) event.start();
  for (int call = 0; call < plan.calls; ++call) {
    if (event.beforeCall) event.beforeCall();
    std::thread toNetwork([&] { partnerCall(event); });
    networkCall();
    toNetwork.join();
  }
  usleep(static_cast<useconds_t>(plan.settleMs) * 1000);  // the last frames in flight
  if (event.stop) event.stop();
  for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME)) {
    if (p.payload.size() >= 4) outbound.noteArrived(readBE32(p.payload.data()), nanos(p.arrival));
  }
  return {outbound.figures(), inbound.figures()};
}

// The partner's call to the network: begin, the frames, end.
void Rig::partnerCall(const Event& event) {
  partner.send(PartnerLink::beginTx(plan.caller, plan.talkGroup));
  Clock::time_point next = Clock::now() + std::chrono::milliseconds(kFrameMs);
  for (int i = 0; i < plan.frames; ++i) {
    sleepUntil(next);
    uint8_t frames[27];
    uint32_t sequence = sequenceOut++;
    frameBytes(sequence, frames);
    outbound.noteSent(sequence, nanos(Clock::now()));
    partner.send(PartnerLink::voice(frames));
    if (i == plan.frames / 2 && event.midCall) event.midCall();
    next += std::chrono::milliseconds(kFrameMs);
  }
  partner.send(PartnerLink::endTx());
}

// The server's call to the partner: three headers, the bursts, the terminator,
// every packet in its 60 ms slot.
void Rig::networkCall() {
  uint8_t header[REWIND_VOICE_HEADER_SIZE] = {};
  writeBE24(header + 3, plan.talkGroup);
  writeBE24(header + 6, plan.caller);
  Clock::time_point next = Clock::now();
  for (int i = 0; i < 3; ++i) {
    sleepUntil(next);
    if (i == 0) {
      beginSequence = sequenceIn;
      inbound.noteSent(sequenceIn++, nanos(Clock::now()));
    }
    sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 1, REWIND_FLAG_REAL_TIME_1, header, sizeof(header));
    next += std::chrono::milliseconds(kFrameMs);
  }
  for (int i = 0; i < plan.frames; ++i) {
    sleepUntil(next);
    uint8_t burst[27];
    uint32_t sequence = sequenceIn++;
    frameBytes(sequence, burst);
    inbound.noteSent(sequence, nanos(Clock::now()));
    sim.sendPacket(REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, burst, sizeof(burst));
    next += std::chrono::milliseconds(kFrameMs);
  }
  sleepUntil(next);
  sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 2, REWIND_FLAG_REAL_TIME_1, nullptr, 0);
  usleep(static_cast<useconds_t>(plan.pauseMs) * 1000);  // between calls
}

bool waitForLogin(const RewindSimulator& sim, const Child& zelk, uint32_t talkGroup) {
  bool subscribed = false;
  for (int i = 0; i < 200 && !subscribed && zelk.ok(); ++i) {
    subscribed = sim.loggedIn() && sim.subscribedTalkGroup() == talkGroup;
    if (!subscribed) usleep(50000);
  }
  return subscribed;
}

}  // namespace stress_bench
