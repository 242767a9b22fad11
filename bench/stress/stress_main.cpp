// SPDX-License-Identifier: GPL-2.0-or-later
// zelk_stress_bench: voice timing of the real zelk binary while the daemon and
// the machine are under stress. A call paced at 60 ms runs in each direction at
// once, between the Rewind simulator (in this process) and a partner socket (in
// this process); the receiving side notes each frame's arrival. Each frame's
// added delay is its arrival minus its send time (the trip through the daemon
// and two loopback hops); the added gap of a frame is the time since the frame
// before it at the receiver less the same at the sender. One run measures the
// calls quiet and then during each event:
//   reload     the daily subscriber reload of a 300,000-line file at each call's
//              start (the wall clock is stepped a day forward before each call,
//              through the preloaded clock shim of the tests)
//   log flood  1,000 malformed partner datagrams per second, each logged
//   busy cores one busy-looping process per core at normal priority
//   broker stalls / broker gone   the MQTT broker stopped (SIGSTOP) or killed
//   reconnect  the partner's reconnect command in the middle of each call
//   status page polled   the status page and /metrics each fetched 20 times a
//              second over loopback HTTP
// The rig's own threads run under SCHED_FIFO where the system allows it, so the
// busy processes delay the daemon, not the measurement. Lost or reordered frames
// make the run fail (exit status 1); a missed timing goal is only reported.
//
//   zelk_stress_bench [--zelk PATH] [--clock PATH] [--calls N] [--frames N]
//                     [--nice N] [--no-realtime] [--only TEXT] [--json PATH] [--keep]
// --nice runs zelk under nice -n N, --no-realtime without the capability that
// lets it raise its voice threads (as root), for comparing scheduling; --only
// runs quiet and the events whose name contains TEXT.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tests/common/free_port.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

extern char** environ;

namespace {

constexpr char kPassword[] = "str3ss";
constexpr uint32_t kUserID = 3106001;
constexpr uint32_t kTalkGroup = 91;
constexpr uint32_t kCaller = 2621234;  // a line of the subscriber file
constexpr int kFrameMs = 60;
constexpr int kSubscriberLines = 300000;
constexpr long kDaySeconds = 90000;  // a clock step of 25 hours: the table is old
constexpr double kGapGoalMs = 5.0;

using Clock = std::chrono::steady_clock;

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

struct Options {
  std::string zelk, clock;
  int calls = 3;
  int frames = 100;  // voice frames per call: 6 s of speech
  int nice = 0;
  bool noRealtime = false;  // zelk without the privilege to raise its voice threads
  std::string jsonPath = "stress_bench.json";
  bool keep = false;
  std::string only;  // run only the events whose name contains this (and quiet)
};

// A child process with its output in a file; killed on destruction.
class Child {
 public:
  Child(const std::vector<std::string>& command, const std::string& outFile, const std::vector<std::string>& extraEnv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp, argv;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // At normal priority, whatever the rig runs at.
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
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool ok() const { return pid > 0; }
  bool running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
  void signal(int number) const {
    if (pid > 0) kill(pid, number);
  }
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }

 private:
  pid_t pid = -1;
};

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

// The mosquitto broker on a fixed loopback port.
class Broker {
 public:
  Broker(const std::string& dir, int port) : dir(dir), port(port) {
    std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
  }
  bool start() {
    const char* path = access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "/usr/bin/mosquitto";
    process.reset(new Child({path, "-c", dir + "/mosquitto.conf"}, dir + "/mosquitto.out", {}));
    for (int i = 0; i < 250; ++i) {
      if (acceptsConnections(port)) return true;
      usleep(20000);
    }
    return false;
  }
  void signal(int number) { process->signal(number); }
  void kill() { process->stop(); }

 private:
  std::string dir;
  int port;
  std::unique_ptr<Child> process;
};

// What one direction of one event gave.
struct Figures {
  size_t sent = 0, received = 0, lost = 0, reordered = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0, gapMs = 0;
};

// Frame sequence numbers with their send and arrival times (ns, steady clock).
struct Record {
  std::mutex mutex;
  std::vector<std::pair<uint32_t, int64_t>> sent, arrived;  // guarded by mutex
  void noteSent(uint32_t sequence, int64_t at) {
    std::lock_guard<std::mutex> lock(mutex);
    sent.emplace_back(sequence, at);
  }
  void noteArrived(uint32_t sequence, int64_t at) {
    std::lock_guard<std::mutex> lock(mutex);
    arrived.emplace_back(sequence, at);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    sent.clear();
    arrived.clear();
  }
  Figures figures() {
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
};

uint32_t readBE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void frameBytes(uint32_t sequence, uint8_t out[27]) {
  for (int i = 0; i < 27; ++i) out[i] = static_cast<uint8_t>(0x40 + i);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
}

struct Event {
  const char* name;
  std::function<void()> start, stop;
  // Runs at the start of each call (before its first frame) and in its middle.
  std::function<void()> beforeCall, midCall;
};

class Rig {
 public:
  Rig(const Options& o, RewindSimulator& sim, PartnerLink& partner) : o(o), sim(sim), partner(partner) {
    partner.onReceive([this](const Datagram& d) {
      int64_t now = nanos(Clock::now());
      if (d.size() == 30 && d[0] == TAG_AMBE_72) inbound.noteArrived(readBE32(d.data() + 3), now);
      // The begin of a network call carries no number: it is the one sent last.
      if (!d.empty() && d[0] == TAG_BEGIN_TX) inbound.noteArrived(beginSequence.load(), now);
    });
  }

  // One event: the calls of both directions side by side.
  std::pair<Figures, Figures> run(const Event& event) {
    sim.clearPackets();
    inbound.clear();
    outbound.clear();
    if (event.start) event.start();
    for (int call = 0; call < o.calls; ++call) {
      if (event.beforeCall) event.beforeCall();
      std::thread toNetwork([&] { partnerCall(event); });
      networkCall();
      toNetwork.join();
    }
    usleep(300000);  // the last frames in flight
    if (event.stop) event.stop();
    for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME)) {
      if (p.payload.size() >= 4) outbound.noteArrived(readBE32(p.payload.data()), nanos(p.arrival));
    }
    return {outbound.figures(), inbound.figures()};
  }

 private:
  // The partner's call to the network: begin, the frames, end.
  void partnerCall(const Event& event) {
    partner.send(PartnerLink::beginTx(kCaller, kTalkGroup));
    Clock::time_point next = Clock::now() + std::chrono::milliseconds(kFrameMs);
    for (int i = 0; i < o.frames; ++i) {
      sleepUntil(next);
      uint8_t frames[27];
      uint32_t sequence = sequenceOut++;
      frameBytes(sequence, frames);
      outbound.noteSent(sequence, nanos(Clock::now()));
      partner.send(PartnerLink::voice(frames));
      if (i == o.frames / 2 && event.midCall) event.midCall();
      next += std::chrono::milliseconds(kFrameMs);
    }
    partner.send(PartnerLink::endTx());
  }

  // The server's call to the partner: three headers, the bursts, the terminator,
  // every packet in its 60 ms slot.
  void networkCall() {
    uint8_t header[REWIND_VOICE_HEADER_SIZE] = {};
    writeBE24(header + 3, kTalkGroup);
    writeBE24(header + 6, kCaller);
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
    for (int i = 0; i < o.frames; ++i) {
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
    usleep(200000);  // between calls
  }

  const Options& o;
  RewindSimulator& sim;
  PartnerLink& partner;
  Record outbound, inbound;
  uint32_t sequenceOut = 1, sequenceIn = 1;
  std::atomic<uint32_t> beginSequence{0};
};

// Busy-looping processes, one per core, at normal priority.
class Hogs {
 public:
  void start(int count) {
    for (int i = 0; i < count; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        struct sched_param normal {};
        sched_setscheduler(0, SCHED_OTHER, &normal);
        volatile uint64_t spin = 0;
        for (;;) ++spin;
      }
      if (pid > 0) pids.push_back(pid);
    }
  }
  void stop() {
    for (pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    pids.clear();
  }
  ~Hogs() { stop(); }

 private:
  std::vector<pid_t> pids;
};

// 1,000 malformed datagrams per second from the partner's socket while running.
class LogFlood {
 public:
  explicit LogFlood(PartnerLink& partner) : partner(partner) {}
  void start() {
    running = true;
    thread = std::thread([this] {
      const Datagram malformed = {TAG_NOP, 9, 0};  // says 9 bytes, holds 1: logged as a length mismatch
      Clock::time_point next = Clock::now();
      while (running) {
        partner.send(malformed);
        ++sent;
        next += std::chrono::milliseconds(1);
        sleepUntil(next);
      }
    });
  }
  void stop() {
    running = false;
    if (thread.joinable()) thread.join();
  }
  size_t count() const { return sent; }

 private:
  PartnerLink& partner;
  std::thread thread;
  std::atomic<bool> running{false};
  std::atomic<size_t> sent{0};
};

// The status page and /metrics, each fetched 20 times a second while running.
class StatusPoll {
 public:
  explicit StatusPoll(int port) : port(port) {}
  void start() {
    running = true;
    thread = std::thread([this] {
      Clock::time_point next = Clock::now();
      while (running) {
        for (const char* path : {"/", "/metrics"}) fetch(path) ? ++answered : ++failed;
        next += std::chrono::milliseconds(50);
        sleepUntil(next);
      }
    });
  }
  void stop() {
    running = false;
    if (thread.joinable()) thread.join();
  }
  size_t answers() const { return answered; }
  size_t failures() const { return failed; }

 private:
  // One request; true when a 200 answer came back whole (the server closes).
  bool fetch(const char* path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct timeval limit = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
      const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
      if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0 && answer.size() < (1u << 20)) answer.append(buffer, n);
      }
    }
    close(fd);
    return answer.compare(0, 12, "HTTP/1.1 200") == 0;
  }

  int port;
  std::thread thread;
  std::atomic<bool> running{false};
  std::atomic<size_t> answered{0}, failed{0};
};

void writeSubscriberFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return;
  fputs("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n", file);
  unsigned int seed = 4711;
  for (int i = 0; i < kSubscriberLines - 1; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint32_t id = i == kSubscriberLines / 2 ? kCaller : 1000000 + static_cast<uint32_t>(i) * 7;
    fprintf(file, "%u,%c%c%d%c%c%c,Firstname%d,Lastname,Some City,Some State,Some Country\n", id, 'A' + seed % 26,
            'A' + (seed >> 5) % 26, static_cast<int>((seed >> 10) % 10), 'A' + (seed >> 14) % 26,
            'A' + (seed >> 19) % 26, 'A' + (seed >> 24) % 26, i % 977);
  }
  fclose(file);
}

size_t countLines(const std::string& path, const char* text) {
  std::ifstream in(path);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) n += line.find(text) != std::string::npos;
  return n;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

int parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--zelk") o.zelk = next();
    else if (a == "--clock") o.clock = next();
    else if (a == "--calls") o.calls = std::max(1, atoi(next()));
    else if (a == "--frames") o.frames = std::max(10, atoi(next()));
    else if (a == "--nice") o.nice = atoi(next());
    else if (a == "--no-realtime") o.noRealtime = true;
    else if (a == "--json") o.jsonPath = next();
    else if (a == "--keep") o.keep = true;
    else if (a == "--only") o.only = next();
    else {
      fprintf(stderr, "usage: zelk_stress_bench [--zelk PATH] [--clock PATH] [--calls N] [--frames N] [--nice N] "
                      "[--no-realtime] [--only TEXT] [--json PATH] [--keep]\n");
      return 2;
    }
  }
  return 0;
}

// The zelk binary beside this one and the clock shim it was built with, unless
// the options say otherwise. 0 to go on, else the exit status.
int readOptions(int argc, char** argv, Options& o) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string here = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  here = here.substr(0, here.rfind('/') + 1);
  o.zelk = here + "zelk";
  o.clock = ZELK_STRESS_CLOCK;
  if (parseOptions(argc, argv, o) != 0) return 2;
  if (access(o.zelk.c_str(), X_OK) != 0 || access(o.clock.c_str(), R_OK) != 0) {
    fprintf(stderr, "no zelk binary at %s or no clock shim at %s (use --zelk, --clock)\n", o.zelk.c_str(),
            o.clock.c_str());
    return 1;
  }
  return 0;
}

// The rig before everything else on the machine: its threads inherit the
// policy; the processes it starts run at normal priority (see Child, Hogs).
bool raiseRigPriority() {
  struct sched_param rigPriority {};
  rigPriority.sched_priority = 20;
  return sched_setscheduler(0, SCHED_FIFO, &rigPriority) == 0;
}

// A scratch directory holding the subscriber file.
std::string makeScratchDir() {
  char pattern[] = "/tmp/zelk-stress-XXXXXX";
  std::string dir = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  writeSubscriberFile(dir + "/subscriber_ids.csv");
  return dir;
}

// What zelk talks to: the simulator, the partner socket and the broker.
struct Peers {
  RewindSimulator sim;
  PartnerLink partner;
  const int daemonPort = testing_support::freeUdpPort();
  const int brokerPort = testing_support::freeTcpPort();
  const int statusPort = testing_support::freeTcpPort();
  Broker broker;

  explicit Peers(const std::string& dir) : broker(dir, brokerPort) { sim.setPassword(kPassword); }
  bool start() { return sim.start("127.0.0.1", 0) && partner.open(0, "127.0.0.1", daemonPort) && broker.start(); }
};

void writeIni(const std::string& dir, Peers& peers) {
  std::ofstream(dir + "/Trelvane.ini") << "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " << peers.sim.port()
                                       << "\nBMPassword = " << kPassword << "\nUserID = " << kUserID
                                       << "\nStartTG = " << kTalkGroup << "\nAddress = 127.0.0.1\nTXPort = "
                                       << peers.partner.port() << "\nRXPort = " << peers.daemonPort
                                       << "\nLogLevel = 3\nBrokerAddress = 127.0.0.1\nBrokerPort = " << peers.brokerPort
                                       << "\nBrokerTopic = stress/log\nsubscriberFile = " << dir
                                       << "/subscriber_ids.csv\nStatusPort = " << peers.statusPort << "\n";
}

std::vector<std::string> zelkCommand(const Options& o, const std::string& dir) {
  std::vector<std::string> command = {o.zelk, dir + "/Trelvane.ini"};
  if (o.noRealtime) {
    command.insert(command.begin(), {"/usr/bin/setpriv", "--bounding-set", "-sys_nice", "--inh-caps", "-sys_nice"});
  }
  // nice runs outermost: lowering the nice value takes the capability setpriv drops.
  if (o.nice != 0) command.insert(command.begin(), {"/usr/bin/nice", "-n", std::to_string(o.nice)});
  return command;
}

std::vector<std::string> zelkEnvironment(const Options& o, const std::string& dir) {
  return {"ZELK_LOG=" + dir, "LD_PRELOAD=" + o.clock, "ZELK_CLOCK_STEP_ON_USR1=" + std::to_string(kDaySeconds)};
}

// True once zelk is logged in to the simulator and subscribed (at most 10 s).
bool waitForLogin(const RewindSimulator& sim, const Child& zelk) {
  bool subscribed = false;
  for (int i = 0; i < 200 && !subscribed && zelk.ok(); ++i) {
    subscribed = sim.loggedIn() && sim.subscribedTalkGroup() == kTalkGroup;
    if (!subscribed) usleep(50000);
  }
  return subscribed;
}

void printHeading(const Options& o, int cores, bool rigRealtime) {
  printf("== %d calls of %d frames (%d ms apart) in each direction per event; %d cores; zelk nice %d%s; rig %s\n",
         o.calls, o.frames, kFrameMs, cores, o.nice, o.noRealtime ? ", not allowed real-time" : "",
         rigRealtime ? "SCHED_FIFO" : "at normal priority (no SCHED_FIFO)");
  printf("== load average at start: %s (other work on the machine disturbs the figures)\n", loadAverage().c_str());
  fflush(stdout);
}

// Quiet first: the other events are judged against it.
std::vector<Event> stressEvents(Peers& peers, Child& zelk, Hogs& hogs, LogFlood& flood, StatusPoll& poll,
                                int cores) {
  const std::string reconnect = std::string("txTg=") + kPassword + "@127.0.0.1:" + std::to_string(peers.sim.port()) +
                                "!" + std::to_string(kTalkGroup);
  Broker& broker = peers.broker;
  PartnerLink& partner = peers.partner;
  return {
      {"quiet", nullptr, nullptr, nullptr, nullptr},
      {"subscriber reload (300,000 lines)", nullptr, nullptr,
       [&zelk] {
         zelk.signal(SIGUSR1);  // a day passes: the call's first lookup starts the reload
         usleep(100000);
       },
       nullptr},
      {"1,000 log lines/s", [&flood] { flood.start(); }, [&flood] { flood.stop(); }, nullptr, nullptr},
      {"every core busy", [&hogs, cores] { hogs.start(cores); }, [&hogs] { hogs.stop(); }, nullptr, nullptr},
      {"broker stalls", [&broker] { broker.signal(SIGSTOP); }, [&broker] { broker.signal(SIGCONT); }, nullptr, nullptr},
      {"broker disappears", [&broker] { broker.kill(); }, [&broker] { broker.start(); }, nullptr, nullptr},
      {"reconnect command", nullptr, nullptr, nullptr,
       [&partner, reconnect] { partner.send(PartnerLink::remoteCommand(reconnect)); }},
      {"status page polled 2x20/s", [&poll] { poll.start(); }, [&poll] { poll.stop(); }, nullptr, nullptr},
  };
}

// One line of the table: an event in one direction, and whether it met the goal.
struct Row {
  std::string event, direction;
  Figures f;
  bool met = false;
};

std::vector<Row> runEvents(Rig& rig, const std::vector<Event>& events, const std::string& only) {
  std::vector<Row> rows;
  for (const Event& event : events) {
    if (!only.empty() && &event != &events[0] && strstr(event.name, only.c_str()) == nullptr) continue;
    printf("   %s ...\n", event.name);
    fflush(stdout);
    auto figures = rig.run(event);
    rows.push_back({event.name, "P->N", figures.first});
    rows.push_back({event.name, "N->P", figures.second});
  }
  return rows;
}

// What the daemon's log says once the calls are over.
struct Aftermath {
  size_t reloads = 0, logged = 0;
  bool survived = false;
};

Aftermath settle(RewindSimulator& sim, const Child& zelk, const std::string& out, size_t reloadsBefore) {
  // The lookup after a reload logs its outcome: one more header for the last one.
  uint8_t header[REWIND_VOICE_HEADER_SIZE] = {};
  writeBE24(header + 3, kTalkGroup);
  writeBE24(header + 6, kCaller);
  sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 1, REWIND_FLAG_REAL_TIME_1, header, sizeof(header));
  sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 2, REWIND_FLAG_REAL_TIME_1, nullptr, 0);
  usleep(300000);
  Aftermath a;
  a.reloads = countLines(out, "Subscriber IDs loaded:") - reloadsBefore;
  a.logged = countLines(out, "TLV length does not match");
  a.survived = zelk.running();
  return a;
}

struct Verdict {
  bool framesOk = true, goalsMet = true;
};

// Marks each row met or not against quiet (the first two rows).
Verdict judge(std::vector<Row>& rows) {
  const Figures quiet[2] = {rows[0].f, rows[1].f};
  Verdict v;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Figures& f = rows[i].f;
    bool intact = f.lost == 0 && f.reordered == 0 && f.received > 0;
    rows[i].met = intact && f.gapMs <= kGapGoalMs && f.p99Ms <= 2 * quiet[i % 2].p99Ms;
    v.framesOk = v.framesOk && intact;
    v.goalsMet = v.goalsMet && rows[i].met;
  }
  return v;
}

void printTable(const std::vector<Row>& rows, const Options& o, const Aftermath& a, const LogFlood& flood) {
  printf("\n%-34s %-5s %9s %9s %9s %9s %6s %6s  %s\n", "event", "way", "p50 ms", "p99 ms", "max ms", "gap ms",
         "lost", "order", "goal");
  printf("%s\n", std::string(104, '-').c_str());
  for (const Row& r : rows) {
    const Figures& f = r.f;
    printf("%-34s %-5s %9.3f %9.3f %9.3f %9.3f %6zu %6zu  %s\n", r.event.c_str(), r.direction.c_str(), f.p50Ms,
           f.p99Ms, f.maxMs, f.gapMs, f.lost, f.reordered, r.met ? "met" : "NOT MET");
  }
  printf("\ngoal: largest added gap <= %.0f ms, p99 <= 2 x quiet, no frame lost or reordered\n", kGapGoalMs);
  printf("subscriber reloads seen: %zu of %d; malformed datagrams logged: %zu of %zu; load average now %s\n", a.reloads,
         o.calls, a.logged, flood.count(), loadAverage().c_str());
}

void writeJson(const std::vector<Row>& rows, const Options& o, int cores, bool rigRealtime, const Aftermath& a,
               const Verdict& v) {
  nlohmann::json table = nlohmann::json::array();
  for (const Row& r : rows) {
    const Figures& f = r.f;
    table.push_back({{"event", r.event}, {"direction", r.direction}, {"sent", f.sent},
                     {"received", f.received}, {"lost", f.lost}, {"reordered", f.reordered}, {"p50_ms", f.p50Ms},
                     {"p99_ms", f.p99Ms}, {"max_ms", f.maxMs}, {"largest_added_gap_ms", f.gapMs}, {"goal_met", r.met}});
  }
  nlohmann::json report = {{"calls_per_event", o.calls}, {"frames_per_call", o.frames}, {"zelk_nice", o.nice},
                           {"zelk_no_realtime", o.noRealtime}, {"rig_realtime", rigRealtime}, {"cores", cores},
                           {"reloads", a.reloads}, {"malformed_logged", a.logged},
                           {"load_average_at_end", loadAverage()}, {"table", table}, {"frames_intact", v.framesOk},
                           {"goals_met", v.goalsMet}};
  std::ofstream(o.jsonPath) << report.dump(2) << "\n";
}

void removeScratch(const std::string& dir) {
  for (const char* name : {"/zelk.out", "/ZELK.log", "/Trelvane.ini", "/subscriber_ids.csv", "/mosquitto.conf",
                           "/mosquitto.out"}) {
    unlink((dir + name).c_str());
  }
  rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  if (int status = readOptions(argc, argv, o)) return status;
  bool rigRealtime = raiseRigPriority();
  std::string dir = makeScratchDir();

  Peers peers(dir);
  if (!peers.start()) {
    fprintf(stderr, "cannot start the simulator, the partner socket or mosquitto\n");
    return 1;
  }
  writeIni(dir, peers);
  const std::string out = dir + "/zelk.out";
  Child zelk(zelkCommand(o, dir), out, zelkEnvironment(o, dir));
  if (!waitForLogin(peers.sim, zelk)) {
    fprintf(stderr, "zelk did not log in to the simulator; its output is in %s\n", out.c_str());
    return 1;
  }
  usleep(500000);  // the broker attachment and the first keep-alives

  int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  printHeading(o, cores, rigRealtime);
  Hogs hogs;
  LogFlood flood(peers.partner);
  StatusPoll poll(peers.statusPort);
  std::vector<Event> events = stressEvents(peers, zelk, hogs, flood, poll, cores);
  Rig rig(o, peers.sim, peers.partner);
  size_t reloadsBefore = countLines(out, "Subscriber IDs loaded:");
  std::vector<Row> rows = runEvents(rig, events, o.only);
  Aftermath aftermath = settle(peers.sim, zelk, out, reloadsBefore);

  Verdict verdict = judge(rows);
  printTable(rows, o, aftermath, flood);
  if (poll.answers() + poll.failures() > 0) {
    printf("status page: %zu answers, %zu failed requests\n", poll.answers(), poll.failures());
  }
  writeJson(rows, o, cores, rigRealtime, aftermath, verdict);
  printf("JSON written to %s%s\n", o.jsonPath.c_str(), aftermath.survived ? "" : "; the daemon did not survive");
  zelk.stop();
  peers.broker.kill();
  if (o.keep) {
    printf("output kept in %s\n", dir.c_str());
  } else {
    removeScratch(dir);
  }
  return verdict.framesOk ? 0 : 1;
}
