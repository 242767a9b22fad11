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

#include "bench/stress/stress_rig.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tests/common/free_port.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

extern char** environ;

namespace {

using namespace stress_bench;

constexpr char kPassword[] = "str3ss";
constexpr uint32_t kUserID = 3106001;
constexpr uint32_t kTalkGroup = 91;
constexpr uint32_t kCaller = 2621234;  // a line of the subscriber file
constexpr int kFrameMs = Rig::kFrameMs;
constexpr int kSubscriberLines = 300000;
constexpr long kDaySeconds = 90000;  // a clock step of 25 hours: the table is old
constexpr double kGapGoalMs = 5.0;

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

  Peers peers(dir, kPassword);
  if (!peers.start()) {
    fprintf(stderr, "cannot start the simulator, the partner socket or mosquitto\n");
    return 1;
  }
  writeIni(dir, peers);
  const std::string out = dir + "/zelk.out";
  Child zelk(zelkCommand(o, dir), out, zelkEnvironment(o, dir));
  if (!waitForLogin(peers.sim, zelk, kTalkGroup)) {
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
  CallPlan plan;
  plan.calls = o.calls;
  plan.frames = o.frames;
  plan.caller = kCaller;
  plan.talkGroup = kTalkGroup;
  Rig rig(plan, peers.sim, peers.partner);
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
