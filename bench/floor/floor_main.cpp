// SPDX-License-Identifier: GPL-2.0-or-later
// zelk_floor_bench: the daemon measured against the physical floor of this
// machine, in one run. The real zelk binary runs between a loopback partner and a
// loopback Rewind server (the simulator for the login and the idle minute, then
// raw sockets on the same port); a bare UDP relay process, which only receives a
// datagram and sends it on, is measured the same way. Prints a table with the
// ratios to the relay and writes the same as JSON.
//
//   zelk_floor_bench [--zelk PATH] [--frames N] [--idle-seconds S] [--startups N]
//                    [--rate-seconds S] [--json PATH] [--pin CPUS]
// --pin runs zelk and the relays under taskset -c CPUS (for example 1).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor/floor_rig.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tests/common/free_port.h"
#include "tools/rewind_sim/rewind_simulator.h"

extern char** environ;

using floor_bench::Endpoint;
using floor_bench::LatencySummary;
using floor_bench::LoopbackSocket;
using floor_bench::nowNs;
using floor_bench::Path;
using floor_bench::RateTrial;
using floor_bench::Relay;
using floor_bench::Wire;
using nlohmann::json;

namespace {

constexpr char kPassword[] = "fl00r";
constexpr uint32_t kUserID = 3106001;
constexpr int kLateMs = 60;  // one DMR burst period: a frame later than that is useless to the radio

struct Options {
  std::string zelk;
  size_t frames = 100000;
  int idleSeconds = 60;
  int startups = 5;
  double rateSeconds = 0.5;
  std::string jsonPath = "floor_bench.json";
  std::string pin;  // CPU list for taskset, empty: no pinning
};

// The command line of a forwarder, under taskset when pinned.
std::vector<std::string> pinned(const std::string& cpus, std::vector<std::string> argv) {
  if (cpus.empty()) return argv;
  argv.insert(argv.begin(), {"/usr/bin/taskset", "-c", cpus});
  return argv;
}

// ---------------------------------------------------------------------------
// The daemon as a child process.

class Daemon {
 public:
  Daemon(const std::vector<std::string>& command, const std::string& dir) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string out = dir + "/zelk.out";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "ZELK_LOG=", 9) != 0) env.emplace_back(*e);
    }
    env.push_back("ZELK_LOG=" + dir);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) child = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Daemon() { stop(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  pid_t pid() const { return child; }
  void stop() {
    if (child <= 0) return;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    child = -1;
  }

 private:
  pid_t child = -1;
};

// ---------------------------------------------------------------------------
// What the kernel knows about a process, summed over its threads.

struct ProcessSample {
  int64_t cpuNs = 0;          // time on a CPU
  long voluntary = 0;         // went to sleep (each is followed by one wake-up)
  long involuntary = 0;       // preempted
  int threads = 0;
};

long statusField(const std::string& file, const char* field) {
  std::ifstream in(file);
  std::string line;
  size_t length = strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
      return atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

ProcessSample sampleProcess(pid_t pid) {
  ProcessSample s;
  std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return s;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string task = base + "/" + entry->d_name;
    std::ifstream schedstat(task + "/schedstat");
    long long onCpu = 0;
    if (schedstat >> onCpu) s.cpuNs += onCpu;
    s.voluntary += std::max(0L, statusField(task + "/status", "voluntary_ctxt_switches"));
    s.involuntary += std::max(0L, statusField(task + "/status", "nonvoluntary_ctxt_switches"));
    ++s.threads;
  }
  closedir(dir);
  return s;
}

long processKb(pid_t pid, const char* field) { return statusField("/proc/" + std::to_string(pid) + "/status", field); }

// ---------------------------------------------------------------------------

std::string selfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string makeTempDir() {
  char pattern[] = "/tmp/zelk-floor-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr ? dir : "/tmp";
}

void removeTree(const std::string& dir) {
  if (dir.rfind("/tmp/zelk-floor-", 0) != 0) return;
  DIR* d = opendir(dir.c_str());
  if (d != nullptr) {
    while (struct dirent* entry = readdir(d)) {
      if (entry->d_name[0] == '.') continue;
      unlink((dir + "/" + entry->d_name).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

std::string writeIni(const std::string& dir, int serverPort, int partnerPort, int daemonPort) {
  std::string path = dir + "/Trelvane.ini";
  std::ofstream ini(path);
  ini << "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " << serverPort << "\nBMPassword = " << kPassword
      << "\nUserID = " << kUserID << "\nStartTG = 91\nAddress = 127.0.0.1\nTXPort = " << partnerPort
      << "\nRXPort = " << daemonPort << "\nLogLevel = 3\n";
  return path;
}

double ratio(double value, double floorValue) { return floorValue > 0 ? value / floorValue : 0; }

json latencyJson(const LatencySummary& s) {
  return {{"frames", s.frames}, {"lost", s.lost},      {"min_us", s.minUs},
          {"median_us", s.medianUs}, {"p99_us", s.p99Us}, {"p99_9_us", s.p999Us}};
}

// Measures the three paths of one direction frame by frame, interleaved in rounds
// so that load from elsewhere on the machine falls on all of them alike.
std::vector<LatencySummary> measureLatency(const std::vector<Path>& paths, size_t frames, uint32_t& sequence,
                                           std::vector<LoopbackSocket*> drains) {
  const int rounds = 10;
  std::vector<std::vector<int64_t>> samples(paths.size());
  std::vector<size_t> lost(paths.size(), 0);
  for (auto& s : samples) s.reserve(frames);
  size_t perRound = std::max<size_t>(1, frames / rounds);
  for (int round = 0; round < rounds; ++round) {
    for (size_t p = 0; p < paths.size(); ++p) {
      for (LoopbackSocket* socket : drains) socket->drain();
      for (size_t i = 0; i < perRound; ++i) {
        if (!floor_bench::pingOne(paths[p], sequence++, 200, samples[p])) ++lost[p];
      }
    }
  }
  std::vector<LatencySummary> result;
  for (size_t p = 0; p < paths.size(); ++p) result.push_back(floor_bench::summarise(samples[p], lost[p]));
  return result;
}

// Raises the offered rate until frames are lost or late; a failed rate is tried
// twice more before it counts, so that one stall caused elsewhere on the machine
// does not decide it. Also reports the forwarder's CPU time per frame (all its
// threads, user and system), which load elsewhere on the machine hardly changes:
// 1 / that time is the rate one core could carry.
constexpr double kReferenceRate = 50000;  // CPU per frame is compared at this rate

struct RateResult {
  double best = 0;            // highest rate that passed
  double cpuUsPerFrame = 0;   // at kReferenceRate (the first trial at that rate)
};

RateResult sustainedRate(const Path& path, pid_t forwarder, double seconds, uint32_t& sequence,
                         std::vector<LoopbackSocket*> drains, json& trials) {
  const double rates[] = {10000, 20000, 50000, 75000, 100000, 125000, 150000, 200000, 250000, 300000, 400000, 500000};
  RateResult result;
  auto trial = [&](double rate) {
    for (LoopbackSocket* socket : drains) socket->drain();
    usleep(100000);  // let the forwarder's queues empty
    for (LoopbackSocket* socket : drains) socket->drain();
    int64_t cpuBefore = sampleProcess(forwarder).cpuNs;
    RateTrial t = floor_bench::offerRate(path, rate, seconds, kLateMs, sequence);
    double cpuUs = static_cast<double>(sampleProcess(forwarder).cpuNs - cpuBefore) / 1000.0 /
                   static_cast<double>(std::max<size_t>(1, t.sent));
    sequence += static_cast<uint32_t>(t.sent) + 1000;
    trials.push_back({{"path", path.name}, {"rate", rate}, {"sent", t.sent}, {"received", t.received},
                      {"late", t.late}, {"p99_us", t.p99Us}, {"cpu_us_per_frame", cpuUs}, {"passed", t.passed()}});
    if (rate == kReferenceRate && result.cpuUsPerFrame == 0) result.cpuUsPerFrame = cpuUs;
    return t.passed();
  };
  for (double rate : rates) {
    bool passed = false;
    for (int attempt = 0; attempt < 3 && !passed; ++attempt) passed = trial(rate);
    if (!passed) break;
    result.best = rate;
  }
  if (result.cpuUsPerFrame == 0) trial(kReferenceRate);
  return result;
}

struct Row {
  std::string measure, unit;
  double zelk, floorValue;
  bool hasFloor;
  std::string goal;
  bool met;
};

void printTable(const std::vector<Row>& rows) {
  printf("\n%-44s %14s %14s %8s  %-22s %s\n", "measure", "zelk", "floor (relay)", "ratio", "goal", "met");
  printf("%s\n", std::string(112, '-').c_str());
  for (const Row& r : rows) {
    std::string name = r.measure + " (" + r.unit + ")";
    if (r.hasFloor) {
      printf("%-44s %14.2f %14.2f %8.2f  %-22s %s\n", name.c_str(), r.zelk, r.floorValue, ratio(r.zelk, r.floorValue),
             r.goal.c_str(), r.goal.empty() ? "" : (r.met ? "yes" : "NO"));
    } else {
      printf("%-44s %14.3f %14s %8s  %-22s %s\n", name.c_str(), r.zelk, "-", "-", r.goal.c_str(),
             r.goal.empty() ? "" : (r.met ? "yes" : "NO"));
    }
  }
}

int parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "%s needs a value\n", what);
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--zelk") o.zelk = next("--zelk");
    else if (a == "--frames") o.frames = static_cast<size_t>(atol(next("--frames")));
    else if (a == "--idle-seconds") o.idleSeconds = atoi(next("--idle-seconds"));
    else if (a == "--startups") o.startups = atoi(next("--startups"));
    else if (a == "--rate-seconds") o.rateSeconds = atof(next("--rate-seconds"));
    else if (a == "--json") o.jsonPath = next("--json");
    else if (a == "--pin") o.pin = next("--pin");
    else {
      fprintf(stderr,
              "usage: zelk_floor_bench [--zelk PATH] [--frames N] [--idle-seconds S] [--startups N] "
              "[--rate-seconds S] [--json PATH] [--pin CPUS]\n");
      return 2;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The phases of a run, in order. Each adds its figures to the report.

struct StartupFigures {
  double medianMs = -1, maxMs = -1;
};

// Start-up to the first keep-alive, over a few runs of the daemon.
StartupFigures measureStartups(RewindSimulator& sim, const Options& o, const std::string& ini, const std::string& dir,
                               json& report) {
  printf("== start-up to the first keep-alive (%d runs)\n", o.startups);
  fflush(stdout);
  std::vector<double> startupMs;
  for (int run = 0; run < o.startups; ++run) {
    sim.clearPackets();
    auto t0 = std::chrono::steady_clock::now();
    Daemon probe({o.zelk, ini}, dir);
    if (sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, 1, 5000)) {
      for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE)) {
        startupMs.push_back(std::chrono::duration<double, std::milli>(p.arrival - t0).count());
        break;
      }
    }
    probe.stop();
  }
  std::sort(startupMs.begin(), startupMs.end());
  StartupFigures figures;
  if (!startupMs.empty()) {
    figures.medianMs = startupMs[startupMs.size() / 2];
    figures.maxMs = startupMs.back();
  }
  report["startup"] = {{"runs", startupMs}, {"median_ms", figures.medianMs}, {"max_ms", figures.maxMs}};
  return figures;
}

// True once the daemon under test is logged in and subscribed (at most 10 s).
bool waitForSubscription(const RewindSimulator& sim) {
  for (int i = 0; i < 200; ++i) {
    if (sim.loggedIn() && sim.subscribedTalkGroup() == 91) return true;
    usleep(50000);
  }
  return false;
}

struct IdleFigures {
  double cpuPercent = 0, wakeups = 0;
  long peakRssKib = 0;
};

// What the daemon costs while connected and idle.
IdleFigures measureIdle(pid_t daemon, int seconds, json& report) {
  printf("== idle cost over %d s connected to the simulator\n", seconds);
  fflush(stdout);
  sleep(1);
  ProcessSample before = sampleProcess(daemon);
  int64_t idleStart = nowNs();
  sleep(static_cast<unsigned>(seconds));
  ProcessSample after = sampleProcess(daemon);
  double idleSeconds = static_cast<double>(nowNs() - idleStart) / 1e9;
  IdleFigures figures;
  figures.cpuPercent = 100.0 * static_cast<double>(after.cpuNs - before.cpuNs) / (idleSeconds * 1e9);
  figures.wakeups = static_cast<double>(after.voluntary - before.voluntary) / idleSeconds;
  double preemptions = static_cast<double>(after.involuntary - before.involuntary) / idleSeconds;
  figures.peakRssKib = processKb(daemon, "VmHWM");
  long idleRss = processKb(daemon, "VmRSS");
  report["idle"] = {{"seconds", idleSeconds},        {"cpu_percent_of_one_core", figures.cpuPercent},
                    {"cpu_ms", (after.cpuNs - before.cpuNs) / 1e6}, {"wakeups_per_second", figures.wakeups},
                    {"preemptions_per_second", preemptions}, {"threads", after.threads},
                    {"peak_rss_kib", figures.peakRssKib}, {"rss_kib", idleRss}};
  return figures;
}

struct TrafficFigures {
  std::vector<LatencySummary> out, in;  // direct, relay, zelk
  RateResult relayOut, zelkOut, relayIn, zelkIn;
  long loadedPeakRssKib = 0;
  bool stillRunning = false;
};

// Latency and sustained rate both ways, through the daemon and through the relays,
// with raw sockets on the partner's and the server's ports. The simulator gives
// its port up to them. False, with the reason printed, when the rig cannot be set up.
bool measureTraffic(RewindSimulator& sim, LoopbackSocket& partner, pid_t daemon, int daemonPort, const Options& o,
                    const std::string& self, TrafficFigures& figures, json& trials) {
  struct sockaddr_storage daemonAddress {};
  socklen_t daemonLength = 0;
  if (!sim.clientEndpoint(&daemonAddress, &daemonLength)) {
    fprintf(stderr, "the simulator does not know the daemon's endpoint\n");
    return false;
  }
  const int serverPort = sim.port();
  sim.stop();
  LoopbackSocket server(serverPort);
  if (!server.ok()) {
    fprintf(stderr, "cannot take over the server port %d\n", serverPort);
    return false;
  }
  server.setReceiveTimeout(200);
  partner.setReceiveTimeout(200);
  server.drain();
  Endpoint daemonRewind;
  daemonRewind.address = daemonAddress;
  daemonRewind.length = daemonLength;

  Relay toServer(pinned(o.pin, {self}), serverPort);
  Relay toPartner(pinned(o.pin, {self}), partner.port());
  if (!toServer.ok() || !toPartner.ok()) {
    fprintf(stderr, "cannot start the relay processes\n");
    return false;
  }
  usleep(100000);

  // A begin of transmission first, so the voice belongs to a call.
  {
    std::vector<uint8_t> begin = {TAG_BEGIN_TX, 12, 0x23, 0xCA, 0xCE, 0, 0, 0, 0, 0, 0, 91, 1, 1};
    Endpoint to = Endpoint::loopback(daemonPort);
    sendto(partner.handle(), begin.data(), begin.size(), 0, reinterpret_cast<sockaddr*>(&to.address), to.length);
    usleep(50000);
    server.drain();
  }

  const Path directOut{"direct partner->network", partner.handle(), Endpoint::loopback(serverPort), Wire::Tlv,
                       server.handle()};
  const Path relayOut{"relay partner->network", partner.handle(), Endpoint::loopback(toServer.port()), Wire::Tlv,
                      server.handle()};
  const Path zelkOut{"zelk partner->network", partner.handle(), Endpoint::loopback(daemonPort), Wire::Tlv,
                     server.handle()};
  const Path directIn{"direct network->partner", server.handle(), Endpoint::loopback(partner.port()), Wire::Rewind,
                      partner.handle()};
  const Path relayIn{"relay network->partner", server.handle(), Endpoint::loopback(toPartner.port()), Wire::Rewind,
                     partner.handle()};
  const Path zelkIn{"zelk network->partner", server.handle(), daemonRewind, Wire::Rewind, partner.handle()};
  std::vector<LoopbackSocket*> both = {&server, &partner};

  uint32_t sequence = 1;
  printf("== latency, %zu frames per path, one at a time\n", o.frames);
  fflush(stdout);
  figures.out = measureLatency({directOut, relayOut, zelkOut}, o.frames, sequence, both);
  figures.in = measureLatency({directIn, relayIn, zelkIn}, o.frames, sequence, both);

  printf("== sustained rate without loss (%.1f s per step, late = over %d ms)\n", o.rateSeconds, kLateMs);
  fflush(stdout);
  figures.relayOut = sustainedRate(relayOut, toServer.pid(), o.rateSeconds, sequence, both, trials);
  figures.zelkOut = sustainedRate(zelkOut, daemon, o.rateSeconds, sequence, both, trials);
  figures.relayIn = sustainedRate(relayIn, toPartner.pid(), o.rateSeconds, sequence, both, trials);
  figures.zelkIn = sustainedRate(zelkIn, daemon, o.rateSeconds, sequence, both, trials);
  server.drain();
  figures.loadedPeakRssKib = processKb(daemon, "VmHWM");
  figures.stillRunning = kill(daemon, 0) == 0;
  return true;
}

void reportTraffic(const TrafficFigures& t, const IdleFigures& idle, const Options& o, json& trials, json& report) {
  auto direction = [](const LatencySummary& d, const LatencySummary& r, const LatencySummary& z) {
    return json{{"direct", latencyJson(d)},
                {"relay", latencyJson(r)},
                {"zelk", latencyJson(z)},
                {"ratio_median", ratio(z.medianUs, r.medianUs)},
                {"ratio_p99", ratio(z.p99Us, r.p99Us)},
                {"ratio_p99_9", ratio(z.p999Us, r.p999Us)},
                {"added_over_direct_ratio_median", ratio(z.medianUs - d.medianUs, r.medianUs - d.medianUs)}};
  };
  report["latency"] = {{"partner_to_network", direction(t.out[0], t.out[1], t.out[2])},
                       {"network_to_partner", direction(t.in[0], t.in[1], t.in[2])}};
  report["throughput"] = {{"late_after_ms", kLateMs},
                          {"seconds_per_step", o.rateSeconds},
                          {"partner_to_network",
                           {{"relay_fps", t.relayOut.best}, {"zelk_fps", t.zelkOut.best},
                            {"relay_cpu_us_per_frame", t.relayOut.cpuUsPerFrame},
                            {"zelk_cpu_us_per_frame", t.zelkOut.cpuUsPerFrame}}},
                          {"network_to_partner",
                           {{"relay_fps", t.relayIn.best}, {"zelk_fps", t.zelkIn.best},
                            {"relay_cpu_us_per_frame", t.relayIn.cpuUsPerFrame},
                            {"zelk_cpu_us_per_frame", t.zelkIn.cpuUsPerFrame}}},
                          {"trials", trials}};
  report["memory"] = {{"idle_peak_rss_kib", idle.peakRssKib}, {"peak_rss_after_load_kib", t.loadedPeakRssKib}};
  report["daemon_survived"] = t.stillRunning;
  report["machine"]["load_average_at_end"] = loadAverage();
}

// The summary table: each measure with its goal.
std::vector<Row> summaryRows(const TrafficFigures& t, const IdleFigures& idle, const StartupFigures& startup) {
  std::vector<Row> rows;
  auto latencyRows = [&rows](const char* dir, const LatencySummary& r, const LatencySummary& z) {
    rows.push_back({std::string(dir) + " latency median", "us", z.medianUs, r.medianUs, true, "ratio <= 1.3",
                    ratio(z.medianUs, r.medianUs) <= 1.3});
    rows.push_back({std::string(dir) + " latency p99", "us", z.p99Us, r.p99Us, true, "ratio <= 2",
                    ratio(z.p99Us, r.p99Us) <= 2.0});
    rows.push_back({std::string(dir) + " latency p99.9", "us", z.p999Us, r.p999Us, true, "", true});
  };
  latencyRows("P->N", t.out[1], t.out[2]);
  latencyRows("N->P", t.in[1], t.in[2]);
  rows.push_back({"P->N sustained, no loss", "frames/s", t.zelkOut.best, t.relayOut.best, true, ">= 100000",
                  t.zelkOut.best >= 100000});
  rows.push_back(
      {"P->N CPU per frame at 50000/s", "us", t.zelkOut.cpuUsPerFrame, t.relayOut.cpuUsPerFrame, true, "", true});
  rows.push_back({"N->P sustained, no loss", "frames/s", t.zelkIn.best, t.relayIn.best, true, ">= 100000",
                  t.zelkIn.best >= 100000});
  rows.push_back(
      {"N->P CPU per frame at 50000/s", "us", t.zelkIn.cpuUsPerFrame, t.relayIn.cpuUsPerFrame, true, "", true});
  rows.push_back({"idle CPU", "% of one core", idle.cpuPercent, 0, false, "< 0.1", idle.cpuPercent < 0.1});
  rows.push_back({"idle wake-ups", "per s", idle.wakeups, 0, false, "<= ~1", idle.wakeups <= 1.2});
  rows.push_back({"idle peak resident memory", "KiB", static_cast<double>(idle.peakRssKib), 0, false, "< 4096",
                  idle.peakRssKib > 0 && idle.peakRssKib < 4096});
  rows.push_back({"start-up to first keep-alive (median)", "ms", startup.medianMs, 0, false, "< 50",
                  startup.medianMs >= 0 && startup.medianMs < 50});
  rows.push_back({"start-up to first keep-alive (max)", "ms", startup.maxMs, 0, false, "", true});
  return rows;
}

void printSummary(const TrafficFigures& t, const std::vector<Row>& rows) {
  printf("\ndirect loopback (no forwarder): P->N median %.1f us p99 %.1f us; N->P median %.1f us p99 %.1f us\n",
         t.out[0].medianUs, t.out[0].p99Us, t.in[0].medianUs, t.in[0].p99Us);
  printf("lost frames in the latency runs: P->N relay %zu, zelk %zu; N->P relay %zu, zelk %zu\n", t.out[1].lost,
         t.out[2].lost, t.in[1].lost, t.in[2].lost);
  printTable(rows);
  printf("\npeak resident memory after the traffic runs: %ld KiB; daemon still running: %s; load average now %s\n",
         t.loadedPeakRssKib, t.stillRunning ? "yes" : "NO", loadAverage().c_str());
}

json tableJson(const std::vector<Row>& rows) {
  json table = json::array();
  for (const Row& r : rows) {
    json row = {{"measure", r.measure}, {"unit", r.unit}, {"zelk", r.zelk}, {"goal", r.goal}, {"met", r.met}};
    if (r.hasFloor) {
      row["floor"] = r.floorValue;
      row["ratio"] = ratio(r.zelk, r.floorValue);
    }
    table.push_back(row);
  }
  return table;
}

json machineJson() {
  struct utsname names;
  uname(&names);
  return {{"system", names.sysname}, {"release", names.release}, {"machine", names.machine},
          {"cpus", std::thread::hardware_concurrency()}, {"load_average_at_start", loadAverage()}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--relay") == 0) floor_bench::runRelay(atoi(argv[2]), atoi(argv[3]));
  signal(SIGPIPE, SIG_IGN);

  Options o;
  std::string self = selfPath();
  o.zelk = self.substr(0, self.rfind('/') + 1) + "zelk";
  if (parseOptions(argc, argv, o) != 0) return 2;
  if (access(o.zelk.c_str(), X_OK) != 0) {
    fprintf(stderr, "no zelk binary at %s (use --zelk)\n", o.zelk.c_str());
    return 1;
  }

  std::string dir = makeTempDir();
  struct DirGuard {
    std::string d;
    ~DirGuard() { removeTree(d); }
  } guard{dir};

  LoopbackSocket partner;
  const int daemonPort = testing_support::freeUdpPort();
  RewindSimulator sim;
  sim.setPassword(kPassword);
  if (!partner.ok() || !sim.start("127.0.0.1", 0)) {
    fprintf(stderr, "cannot open the loopback sockets: %s\n", sim.error().c_str());
    return 1;
  }
  std::string ini = writeIni(dir, sim.port(), partner.port(), daemonPort);
  json report;
  report["pinned_to_cpus"] = o.pin;
  report["machine"] = machineJson();
  printf("== load average at start: %s (other work on the machine disturbs the figures)\n", loadAverage().c_str());

  StartupFigures startup = measureStartups(sim, o, ini, dir, report);

  // The daemon under test, logged in to the simulator.
  sim.clearPackets();
  Daemon zelk(pinned(o.pin, {o.zelk, ini}), dir);
  if (!waitForSubscription(sim)) {
    fprintf(stderr, "zelk did not log in to the simulator; its output is in %s/zelk.out\n", dir.c_str());
    guard.d.clear();
    return 1;
  }
  IdleFigures idle = measureIdle(zelk.pid(), o.idleSeconds, report);

  TrafficFigures traffic;
  json trials = json::array();
  if (!measureTraffic(sim, partner, zelk.pid(), daemonPort, o, self, traffic, trials)) return 1;
  reportTraffic(traffic, idle, o, trials, report);

  std::vector<Row> rows = summaryRows(traffic, idle, startup);
  printSummary(traffic, rows);
  report["table"] = tableJson(rows);
  std::ofstream(o.jsonPath) << report.dump(2) << "\n";
  printf("JSON written to %s\n", o.jsonPath.c_str());
  return 0;
}
