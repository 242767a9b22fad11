// SPDX-License-Identifier: GPL-2.0-or-later
// zelk_many_bench: what many zelk daemons on one machine cost together. Each row
// starts N daemons, each logged in to a Rewind simulator of its own (in this
// process) and talking to a partner socket of its own (in this process), all on
// loopback, and measures them twice: with the status page off and on.
//   idle       CPU time of all the daemons' threads and their wake-ups (voluntary
//              and involuntary context switches) over an idle window
//   calls      every daemon carries a call each way at the same time, the frames
//              of all daemons sent in the same 60 ms slot: CPU time per second of
//              call, each frame's delay (its arrival less its send time), frames
//              lost or out of order
//   memory     proportional set size (PSS, from /proc/PID/smaps_rollup) of all
//              the daemons after the calls: pages shared between them (the
//              program, the C and C++ runtimes) count once in the total
// and the shape of one daemon: threads, descriptors, sockets. A missed goal is
// reported, never a failure; the exit status is 1 only when no daemon could be
// started and logged in.
//
//   zelk_many_bench [--zelk PATH] [--counts 1,10,50,100] [--frames N]
//                   [--idle-seconds S] [--json PATH] [--data PATH] [--scratch DIR] [--keep]
// --data writes the rows as columns for a plot (gnuplot); --scratch names where
// the daemons' configurations and log files go (default /tmp).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/big_endian.h"
#include "bench/stress/stress_rig.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tests/common/free_port.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace {

using namespace stress_bench;

constexpr char kPassword[] = "m4ny";
constexpr uint32_t kUserID = 3106001;
constexpr uint32_t kTalkGroup = 91;
constexpr uint32_t kCaller = 2621234;
constexpr int kFrameMs = 60;
constexpr int kHeaders = 3;
// The slot of a call's begin: the headers' slots come before the first frame's.
constexpr int kFirstSlot = 1 - kHeaders;
// Goals.
constexpr double kLinearSlack = 1.25;    // per-bridge cost of a row against the first row's
constexpr double kIdleGoalPercent = 1;   // of one core, for all daemons of the largest row
constexpr double kAddedP99GoalMs = 5;    // against the first row of the same page setting
constexpr double kPageOnGoalKiB = 400;   // each added bridge
constexpr double kPageOffGoalKiB = 350;

struct Options {
  std::string zelk;
  std::vector<int> counts = {1, 10, 50, 100};
  int frames = 100;  // voice frames per call: 6 s of speech
  int idleSeconds = 20;
  std::string jsonPath = "many.json", dataPath;
  std::string scratchParent = "/tmp";  // where the daemons' configurations and logs go
  bool keep = false;
};

// One bridge of a row: its simulator, its partner socket and its daemon.
// The records come first: the partner's receive thread writes to them until the
// partner is closed.
struct Bridge {
  Record outbound, inbound;  // partner -> network, network -> partner
  RewindSimulator sim;
  PartnerLink partner;
  std::unique_ptr<Child> zelk;
  int daemonPort = 0, statusPort = 0;
  std::string dir;
  bool loggedIn = false;
};

// The pooled frames of one direction of a row.
struct Direction {
  size_t sent = 0, received = 0, lost = 0, reordered = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0, worstP99Ms = 0;  // worst: the bridge with the highest p99
};

// Counted over all threads of a process.
struct Usage {
  int64_t cpuNs = 0, switches = 0;
};

struct Memory {
  int64_t pssKiB = 0, anonKiB = 0;
};

// One half of a row: N daemons with the page off or on.
struct Phase {
  int count = 0;
  bool page = false;
  int loggedIn = 0;
  double idleCpuPercent = 0;  // of one core, all daemons together
  double wakeupsPerSecond = 0;
  double callCpuPercent = 0;  // CPU time of all daemons per second of call, in % of one core
  Memory memory;              // all daemons, after the calls
  int threads = 0, descriptors = 0, sockets = 0;  // of one daemon
  size_t pageAnswers = 0, pageFailures = 0;
  Direction out, in;                // frames spread over the slot
  Direction alignedOut, alignedIn;  // every bridge's frame at the slot's start
  std::string loadBefore, loadAfter;
};

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

int64_t firstNumberOf(const std::string& path) {
  std::ifstream in(path);
  int64_t value = 0;
  in >> value;
  return value;
}

// Names in a /proc directory ("." and ".." left out).
std::vector<std::string> entriesOf(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(dir);
  return names;
}

// Run time from the scheduler's own account (nanoseconds, unlike the clock
// ticks of /proc/PID/stat), and context switches.
Usage usageOf(pid_t pid) {
  Usage u;
  const std::string base = "/proc/" + std::to_string(pid) + "/task/";
  for (const std::string& task : entriesOf(base)) {
    u.cpuNs += firstNumberOf(base + task + "/schedstat");
    std::ifstream status(base + task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, 23, "voluntary_ctxt_switches") == 0 || line.compare(0, 26, "nonvoluntary_ctxt_switches") == 0) {
        u.switches += atoll(line.c_str() + line.find(':') + 1);
      }
    }
  }
  return u;
}

Usage usageOf(const std::vector<std::unique_ptr<Bridge>>& bridges) {
  Usage total;
  for (const auto& b : bridges) {
    Usage u = usageOf(b->zelk->id());
    total.cpuNs += u.cpuNs;
    total.switches += u.switches;
  }
  return total;
}

Memory memoryOf(pid_t pid) {
  Memory m;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(in, line)) {  // "Pss:    1234 kB"; the first line names the range
    if (line.compare(0, 4, "Pss:") == 0) m.pssKiB = atoll(line.c_str() + 4);
    if (line.compare(0, 9, "Pss_Anon:") == 0) m.anonKiB = atoll(line.c_str() + 9);
  }
  return m;
}

void shapeOf(pid_t pid, Phase& p) {
  const std::string base = "/proc/" + std::to_string(pid);
  p.threads = static_cast<int>(entriesOf(base + "/task").size());
  std::vector<std::string> fds = entriesOf(base + "/fd");
  p.descriptors = static_cast<int>(fds.size());
  p.sockets = 0;
  for (const std::string& fd : fds) {
    char target[128];
    ssize_t n = readlink((base + "/fd/" + fd).c_str(), target, sizeof(target) - 1);
    if (n > 0 && strncmp(target, "socket:", 7) == 0) ++p.sockets;
  }
}

// One GET of the status page; true on a 200 answer.
bool fetch(int port, const char* path) {
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
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t n;
      while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0 && answer.size() < (1u << 20)) answer.append(buffer, n);
    }
  }
  close(fd);
  return answer.compare(0, 12, "HTTP/1.1 200") == 0;
}

void frameBytes(uint32_t sequence, uint8_t out[27]) {
  for (int i = 0; i < 27; ++i) out[i] = static_cast<uint8_t>(0x40 + i);
  writeBE32(out, sequence);
}

void writeIni(const Bridge& b) {
  std::ofstream ini(b.dir + "/Trelvane.ini");
  ini << "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " << b.sim.port() << "\nBMPassword = " << kPassword
      << "\nUserID = " << kUserID << "\nStartTG = " << kTalkGroup << "\nAddress = 127.0.0.1\nTXPort = "
      << b.partner.port() << "\nRXPort = " << b.daemonPort << "\nLogLevel = 3\n";
  if (b.statusPort != 0) ini << "StatusPort = " << b.statusPort << "\n";
}

// The bridges of a phase, their daemons started together and then awaited.
std::vector<std::unique_ptr<Bridge>> startBridges(const Options& o, const std::string& scratch,
                                                  const std::vector<int>& daemonPorts, int count, bool page) {
  std::vector<std::unique_ptr<Bridge>> bridges;
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<Bridge> b(new Bridge);
    b->dir = scratch + "/" + std::to_string(i);
    mkdir(b->dir.c_str(), 0755);
    b->daemonPort = daemonPorts[static_cast<size_t>(i)];
    b->statusPort = page ? testing_support::freeTcpPort() : 0;
    b->sim.setPassword(kPassword);
    Bridge* self = b.get();
    b->partner.onReceive([self](const Datagram& d) {
      if (d.size() == 30 && d[0] == TAG_AMBE_72) self->inbound.noteArrived(readBE32(d.data() + 3), nanos(Clock::now()));
    });
    if (!b->sim.start("127.0.0.1", 0) || !b->partner.open(0, "127.0.0.1", b->daemonPort)) {
      fprintf(stderr, "bridge %d: cannot start its simulator or partner socket\n", i);
      continue;
    }
    writeIni(*b);
    b->zelk.reset(new Child({o.zelk, b->dir + "/Trelvane.ini"}, b->dir + "/zelk.out", {"ZELK_LOG=" + b->dir}));
    bridges.push_back(std::move(b));
  }
  for (auto& b : bridges) b->loggedIn = b->zelk->ok() && waitForLogin(b->sim, *b->zelk, kTalkGroup);
  return bridges;
}

// Calls act(bridge, slot) for the slots first to last, 60 ms apart, each bridge
// at its own offset within the slot: spread evenly over the slot, as bridges that
// know nothing of each other would be, or all at its start (aligned).
template <typename Act>
void paced(std::vector<std::unique_ptr<Bridge>>& bridges, Clock::time_point start, int first, int last, bool aligned,
           Act act) {
  const int64_t slotNs = kFrameMs * 1000000LL;
  const int64_t count = static_cast<int64_t>(bridges.size());
  for (int k = first; k <= last; ++k) {
    for (int64_t i = 0; i < count; ++i) {
      sleepUntil(start + std::chrono::nanoseconds(slotNs * (k - first) + (aligned ? 0 : slotNs * i / count)));
      act(*bridges[static_cast<size_t>(i)], k);
    }
  }
}

// Every bridge's call in each direction at once: the partner's begin, frames and
// end one way; the server's headers, bursts and terminator the other, the first
// frame of each way in the same slot. Frames are numbered per bridge from base + 1.
void runCall(std::vector<std::unique_ptr<Bridge>>& bridges, int frames, bool aligned, uint32_t base) {
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(100);
  const int last = frames + 1;
  std::thread toNetwork([&] {
    paced(bridges, start, kFirstSlot, last, aligned, [frames, last, base](Bridge& b, int k) {
      if (k == kFirstSlot) {
        b.partner.send(PartnerLink::beginTx(kCaller, kTalkGroup));
      } else if (k >= 1 && k <= frames) {
        uint8_t burst[27];
        frameBytes(base + static_cast<uint32_t>(k), burst);
        b.outbound.noteSent(base + static_cast<uint32_t>(k), nanos(Clock::now()));
        b.partner.send(PartnerLink::voice(burst));
      } else if (k == last) {
        b.partner.send(PartnerLink::endTx());
      }
    });
  });
  uint8_t header[REWIND_VOICE_HEADER_SIZE] = {};
  writeBE24(header + 3, kTalkGroup);
  writeBE24(header + 6, kCaller);
  paced(bridges, start, kFirstSlot, last, aligned, [&](Bridge& b, int k) {
    if (k <= 0) {
      b.sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 1, REWIND_FLAG_REAL_TIME_1, header, sizeof(header));
    } else if (k <= frames) {
      uint8_t burst[27];
      frameBytes(base + static_cast<uint32_t>(k), burst);
      b.inbound.noteSent(base + static_cast<uint32_t>(k), nanos(Clock::now()));
      b.sim.sendPacket(REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, burst, sizeof(burst));
    } else {
      b.sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 2, REWIND_FLAG_REAL_TIME_1, nullptr, 0);
    }
  });
  toNetwork.join();
}

// What a run of calls gave: both directions, and the daemons' CPU time per
// second of call in % of one core.
struct Calls {
  Direction out, in;
  double cpuPercent = 0;
};

Direction pool(std::vector<std::unique_ptr<Bridge>>& bridges, Record Bridge::*record);

// The calls one after the other, 200 ms apart; then, once the last frames in
// flight are in, the frames the simulators received into each bridge's record.
Calls runCalls(std::vector<std::unique_ptr<Bridge>>& bridges, int frames, int calls, bool aligned) {
  for (auto& b : bridges) {
    b->sim.clearPackets();
    b->outbound.clear();
    b->inbound.clear();
  }
  Calls c;
  int64_t cpuNs = 0, wallNs = 0;
  for (int call = 0; call < calls; ++call) {
    Usage before = usageOf(bridges);
    int64_t from = nanos(Clock::now());
    runCall(bridges, frames, aligned, static_cast<uint32_t>(call * frames));
    cpuNs += usageOf(bridges).cpuNs - before.cpuNs;
    wallNs += nanos(Clock::now()) - from;
    usleep(200000);
  }
  c.cpuPercent = static_cast<double>(cpuNs) / static_cast<double>(wallNs) * 100;
  usleep(100000);
  for (auto& b : bridges) {
    for (const SimPacket& packet : b->sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME)) {
      if (packet.payload.size() >= 4) b->outbound.noteArrived(readBE32(packet.payload.data()), nanos(packet.arrival));
    }
  }
  c.out = pool(bridges, &Bridge::outbound);
  c.in = pool(bridges, &Bridge::inbound);
  return c;
}

double percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  // The nearest rank: of 100 frames the 99th percentile is the 99th, not the largest.
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// Every frame of every bridge in one pool for the percentiles; lost and
// reordered frames as each bridge's record counts them.
Direction pool(std::vector<std::unique_ptr<Bridge>>& bridges, Record Bridge::*record) {
  Direction d;
  std::vector<double> delays;
  for (auto& b : bridges) {
    Record& r = (*b).*record;
    Figures f = r.figures();
    d.sent += f.sent;
    d.received += f.received;
    d.lost += f.lost;
    d.reordered += f.reordered;
    d.worstP99Ms = std::max(d.worstP99Ms, f.p99Ms);
    std::lock_guard<std::mutex> lock(r.mutex);
    std::unordered_map<uint32_t, int64_t> sentAt;
    for (const auto& s : r.sent) sentAt[s.first] = s.second;
    for (const auto& a : r.arrived) {
      auto found = sentAt.find(a.first);
      if (found != sentAt.end()) delays.push_back(static_cast<double>(a.second - found->second) / 1e6);
    }
  }
  std::sort(delays.begin(), delays.end());
  d.p50Ms = percentile(delays, 0.5);
  d.p99Ms = percentile(delays, 0.99);
  d.maxMs = delays.empty() ? 0 : delays.back();
  return d;
}

Phase runPhase(const Options& o, const std::string& scratch, const std::vector<int>& daemonPorts, int count,
               bool page) {
  Phase p;
  p.count = count;
  p.page = page;
  p.loadBefore = loadAverage();
  printf("   %d bridge%s, page %s ...\n", count, count == 1 ? "" : "s", page ? "on" : "off");
  fflush(stdout);
  std::vector<std::unique_ptr<Bridge>> bridges = startBridges(o, scratch, daemonPorts, count, page);
  bridges.erase(std::remove_if(bridges.begin(), bridges.end(), [](const auto& b) { return !b->loggedIn; }),
                bridges.end());
  p.loggedIn = static_cast<int>(bridges.size());
  if (bridges.empty()) return p;
  for (auto& b : bridges) {
    if (b->statusPort == 0) continue;
    for (const char* path : {"/", "/metrics"}) fetch(b->statusPort, path) ? ++p.pageAnswers : ++p.pageFailures;
  }
  usleep(1000000);  // the first keep-alives and the page's answers done

  Usage before = usageOf(bridges);
  Clock::time_point from = Clock::now();
  usleep(static_cast<useconds_t>(o.idleSeconds) * 1000000);
  Usage after = usageOf(bridges);
  double seconds = static_cast<double>(nanos(Clock::now()) - nanos(from)) / 1e9;
  p.idleCpuPercent = static_cast<double>(after.cpuNs - before.cpuNs) / 1e9 / seconds * 100;
  p.wakeupsPerSecond = static_cast<double>(after.switches - before.switches) / seconds;

  // Enough calls that the quiet rows' percentiles, which the others are judged
  // against, rest on as many frames as a row of ten bridges gives.
  const int calls = std::max(1, (10 + count - 1) / count);
  Calls spread = runCalls(bridges, o.frames, calls, false);
  p.callCpuPercent = spread.cpuPercent;
  p.out = spread.out;
  p.in = spread.in;
  Calls aligned = runCalls(bridges, o.frames, 1, true);
  p.alignedOut = aligned.out;
  p.alignedIn = aligned.in;
  for (auto& b : bridges) {
    Memory m = memoryOf(b->zelk->id());
    p.memory.pssKiB += m.pssKiB;
    p.memory.anonKiB += m.anonKiB;
  }
  shapeOf(bridges[0]->zelk->id(), p);
  for (auto& b : bridges) b->zelk->stop();
  p.loadAfter = loadAverage();
  return p;
}

std::vector<int> parseCounts(const char* text) {
  std::vector<int> counts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = atoi(item.c_str());
    if (n > 0) counts.push_back(n);
  }
  return counts;
}

int readOptions(int argc, char** argv, Options& o) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string here = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  o.zelk = here.substr(0, here.rfind('/') + 1) + "zelk";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--zelk") o.zelk = next();
    else if (a == "--counts") o.counts = parseCounts(next());
    else if (a == "--frames") o.frames = std::max(10, atoi(next()));
    else if (a == "--idle-seconds") o.idleSeconds = std::max(1, atoi(next()));
    else if (a == "--json") o.jsonPath = next();
    else if (a == "--data") o.dataPath = next();
    else if (a == "--keep") o.keep = true;
    else if (a == "--scratch") o.scratchParent = next();
    else {
      fprintf(stderr, "usage: zelk_many_bench [--zelk PATH] [--counts 1,10,50,100] [--frames N] [--idle-seconds S] "
                      "[--json PATH] [--data PATH] [--scratch DIR] [--keep]\n");
      return 2;
    }
  }
  if (o.counts.empty()) {
    fprintf(stderr, "--counts needs at least one count above 0\n");
    return 2;
  }
  if (access(o.zelk.c_str(), X_OK) != 0) {
    fprintf(stderr, "no zelk binary at %s (use --zelk)\n", o.zelk.c_str());
    return 1;
  }
  return 0;
}

// Each added bridge: the rise of the total from the previous row of the same
// page setting, per bridge; for the first row its own figure per bridge.
double addedKiB(const std::vector<Phase>& phases, size_t i) {
  for (size_t j = i; j-- > 0;) {
    if (phases[j].page == phases[i].page && phases[j].loggedIn < phases[i].loggedIn) {
      return static_cast<double>(phases[i].memory.pssKiB - phases[j].memory.pssKiB) /
             (phases[i].loggedIn - phases[j].loggedIn);
    }
  }
  return phases[i].loggedIn > 0 ? static_cast<double>(phases[i].memory.pssKiB) / phases[i].loggedIn : 0;
}

const Phase* firstOf(const std::vector<Phase>& phases, bool page) {
  for (const Phase& p : phases) {
    if (p.page == page && p.loggedIn > 0) return &p;
  }
  return nullptr;
}

size_t lostOrReordered(const Phase& p) {
  size_t n = 0;
  for (const Direction* d : {&p.out, &p.in, &p.alignedOut, &p.alignedIn}) n += d->lost + d->reordered;
  return n;
}

struct Verdict {
  bool linear = true, idle = true, voice = true, memory = true;
};

// Cost and memory are judged on the largest row against the first (per bridge)
// and the row before it (each added bridge): the small rows' PSS still moves
// pages that the daemons share with other programs into their total.
Verdict judge(const std::vector<Phase>& phases) {
  Verdict v;
  for (size_t i = 0; i < phases.size(); ++i) {
    const Phase& p = phases[i];
    const Phase* first = firstOf(phases, p.page);
    if (p.loggedIn == 0 || first == nullptr) continue;
    v.voice = v.voice && lostOrReordered(p) == 0 && p.out.p99Ms - first->out.p99Ms <= kAddedP99GoalMs &&
              p.in.p99Ms - first->in.p99Ms <= kAddedP99GoalMs;
    bool largest = std::none_of(phases.begin(), phases.end(),
                                [&](const Phase& q) { return q.page == p.page && q.loggedIn > p.loggedIn; });
    if (!largest) continue;
    double n = p.loggedIn, n1 = first->loggedIn;
    // A floor of 0.01 % of a core keeps the single row's noise out of the ratio.
    v.linear = v.linear && p.callCpuPercent / n <= kLinearSlack * std::max(first->callCpuPercent / n1, 0.01) &&
               p.memory.pssKiB / n <= kLinearSlack * first->memory.pssKiB / n1;
    v.idle = v.idle && p.idleCpuPercent < kIdleGoalPercent;
    v.memory = v.memory && addedKiB(phases, i) <= (p.page ? kPageOnGoalKiB : kPageOffGoalKiB);
  }
  return v;
}

const char* met(bool yes) { return yes ? "met" : "NOT MET"; }

void printTables(const std::vector<Phase>& phases, const Verdict& v) {
  printf("\n| N | page | CPU in calls, all | per bridge | idle CPU, all | wake-ups/s per bridge | PSS all | per bridge "
         "| each added bridge | anon per bridge | threads / fds / sockets per bridge |\n");
  printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (size_t i = 0; i < phases.size(); ++i) {
    const Phase& p = phases[i];
    if (p.loggedIn == 0) {
      printf("| %d | %s | no daemon logged in | | | | | | | | |\n", p.count, p.page ? "on" : "off");
      continue;
    }
    double n = p.loggedIn;
    printf("| %d | %s | %.2f %% | %.3f %% | %.3f %% | %.2f | %.1f MiB | %.0f KiB | %.0f KiB | %.0f KiB | %d / %d / %d |\n",
           p.loggedIn, p.page ? "on" : "off", p.callCpuPercent, p.callCpuPercent / n, p.idleCpuPercent,
           p.wakeupsPerSecond / n, static_cast<double>(p.memory.pssKiB) / 1024, p.memory.pssKiB / n,
           addedKiB(phases, i), p.memory.anonKiB / n, p.threads, p.descriptors, p.sockets);
  }
  printf("\n| N | page | P->N p50 | p99 | max | added p99 | N->P p50 | p99 | max | added p99 | lost / reordered "
         "| aligned: P->N p99 | N->P p99 |\n");
  printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Phase& p : phases) {
    if (p.loggedIn == 0) continue;
    const Phase* first = firstOf(phases, p.page);
    printf("| %d | %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %zu / %zu "
           "| %.2f ms | %.2f ms |\n",
           p.loggedIn, p.page ? "on" : "off", p.out.p50Ms, p.out.p99Ms, p.out.maxMs, p.out.p99Ms - first->out.p99Ms,
           p.in.p50Ms, p.in.p99Ms, p.in.maxMs, p.in.p99Ms - first->in.p99Ms,
           p.out.lost + p.in.lost + p.alignedOut.lost + p.alignedIn.lost,
           p.out.reordered + p.in.reordered + p.alignedOut.reordered + p.alignedIn.reordered, p.alignedOut.p99Ms,
           p.alignedIn.p99Ms);
  }
  printf("\nCPU in %% of one core; PSS splits each shared page among the processes that map it; P->N partner -> "
         "network;\nthe bridges' frames spread over the 60 ms slot, and (aligned) all at its start.\n");
  printf("goals: the largest row's cost per bridge at most %.2f x the first row's (at most linear): %s; the largest "
         "row idle under %.0f %% of one core: %s;\n       in every row p99 at most %.0f ms above the first row's, no "
         "frame lost or reordered: %s;\n       each bridge added to the largest row at most %.0f KiB with the page on, "
         "%.0f KiB off: %s\n",
         kLinearSlack, met(v.linear), kIdleGoalPercent, met(v.idle), kAddedP99GoalMs, met(v.voice), kPageOnGoalKiB,
         kPageOffGoalKiB, met(v.memory));
  for (const Phase& p : phases) {
    if (p.pageFailures > 0) printf("status pages of %d bridges: %zu failed requests\n", p.count, p.pageFailures);
    if (p.loggedIn < p.count) printf("%d bridges asked, %d logged in\n", p.count, p.loggedIn);
  }
}

nlohmann::json directionJson(const Direction& d) {
  return {{"sent", d.sent},       {"received", d.received}, {"lost", d.lost},     {"reordered", d.reordered},
          {"p50_ms", d.p50Ms},    {"p99_ms", d.p99Ms},      {"max_ms", d.maxMs}, {"worst_bridge_p99_ms", d.worstP99Ms}};
}

void writeJson(const Options& o, const std::vector<Phase>& phases, const Verdict& v, int cores) {
  nlohmann::json rows = nlohmann::json::array();
  for (size_t i = 0; i < phases.size(); ++i) {
    const Phase& p = phases[i];
    rows.push_back({{"bridges", p.count}, {"logged_in", p.loggedIn}, {"page", p.page},
                    {"idle_cpu_percent_of_core", p.idleCpuPercent}, {"idle_wakeups_per_second", p.wakeupsPerSecond},
                    {"call_cpu_percent_of_core", p.callCpuPercent}, {"pss_kib", p.memory.pssKiB},
                    {"pss_anon_kib", p.memory.anonKiB}, {"added_bridge_pss_kib", addedKiB(phases, i)},
                    {"threads_per_bridge", p.threads}, {"descriptors_per_bridge", p.descriptors},
                    {"sockets_per_bridge", p.sockets}, {"page_answers", p.pageAnswers},
                    {"page_failures", p.pageFailures}, {"partner_to_network", directionJson(p.out)},
                    {"network_to_partner", directionJson(p.in)},
                    {"aligned_partner_to_network", directionJson(p.alignedOut)},
                    {"aligned_network_to_partner", directionJson(p.alignedIn)}, {"load_average_before", p.loadBefore},
                    {"load_average_after", p.loadAfter}});
  }
  nlohmann::json report = {{"frames_per_call", o.frames}, {"idle_seconds", o.idleSeconds}, {"cores", cores},
                           {"rows", rows},
                           {"goals", {{"linear", v.linear}, {"idle", v.idle}, {"voice", v.voice}, {"memory", v.memory}}}};
  std::ofstream(o.jsonPath) << report.dump(2) << "\n";
}

// One line per count: N, CPU in calls and idle (% of one core) and PSS (MiB),
// each with the page off and on.
void writeData(const std::string& path, const std::vector<Phase>& phases) {
  std::ofstream out(path);
  out << "# N calls_off calls_on idle_off idle_on pss_off_mib pss_on_mib\n";
  for (size_t i = 0; i + 1 < phases.size(); i += 2) {
    const Phase& off = phases[i];
    const Phase& on = phases[i + 1];
    out << off.count << " " << off.callCpuPercent << " " << on.callCpuPercent << " " << off.idleCpuPercent << " "
        << on.idleCpuPercent << " " << off.memory.pssKiB / 1024.0 << " " << on.memory.pssKiB / 1024.0 << "\n";
  }
}

void removeScratch(const std::string& dir, int bridges) {
  for (int i = 0; i < bridges; ++i) {
    const std::string b = dir + "/" + std::to_string(i);
    for (const char* name : {"/zelk.out", "/ZELK.log", "/Trelvane.ini"}) unlink((b + name).c_str());
    rmdir(b.c_str());
  }
  rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  if (int status = readOptions(argc, argv, o)) return status;
  // The rig's threads before the daemons, so that the daemons' load delays the
  // daemons and not the time stamps (the daemons start at normal priority).
  struct sched_param rigPriority {};
  rigPriority.sched_priority = 20;
  const bool rigRealtime = sched_setscheduler(0, SCHED_FIFO, &rigPriority) == 0;
  const int most = *std::max_element(o.counts.begin(), o.counts.end());
  // Six descriptors per bridge here (the simulator's and the partner's sockets and
  // wake-up pipes) and a lock file per port: the soft limit as high as allowed.
  struct rlimit files {};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::vector<int> daemonPorts;
  for (int i = 0; i < most; ++i) daemonPorts.push_back(testing_support::freeUdpPort());
  if (std::find(daemonPorts.begin(), daemonPorts.end(), -1) != daemonPorts.end()) {
    fprintf(stderr, "not enough free ports for %d daemons\n", most);
    return 1;
  }
  std::string pattern = o.scratchParent + "/zelk-many-XXXXXX";
  const std::string scratch = mkdtemp(&pattern[0]) != nullptr ? pattern : o.scratchParent;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  printf("== %d cores; a call of %d frames each way per bridge, all at once; idle over %d s; rig %s\n", cores,
         o.frames, o.idleSeconds, rigRealtime ? "SCHED_FIFO" : "at normal priority (no SCHED_FIFO)");
  printf("== load average at start: %s (other work on the machine disturbs the figures)\n", loadAverage().c_str());
  fflush(stdout);

  std::vector<Phase> phases;
  for (int count : o.counts) {
    for (bool page : {false, true}) phases.push_back(runPhase(o, scratch, daemonPorts, count, page));
  }
  Verdict verdict = judge(phases);
  printTables(phases, verdict);
  printf("load average now %s\n", loadAverage().c_str());
  writeJson(o, phases, verdict, cores);
  if (!o.dataPath.empty()) writeData(o.dataPath, phases);
  printf("JSON written to %s\n", o.jsonPath.c_str());
  if (o.keep) {
    printf("daemon output kept in %s\n", scratch.c_str());
  } else {
    removeScratch(scratch, most);
  }
  bool any = std::any_of(phases.begin(), phases.end(), [](const Phase& p) { return p.loggedIn > 0; });
  return any ? 0 : 1;
}
