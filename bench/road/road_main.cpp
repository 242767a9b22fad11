// SPDX-License-Identifier: GPL-2.0-or-later
// zelk_road_bench: a network call over bad roads. For each road and each
// NetworkJitter setting, the Rewind simulator (in this process) plays one call
// of 150 bursts at the real 60 ms cadence, through zelk-road, to the real zelk
// binary and on to a partner socket (in this process) that notes when each
// voice message arrives. Burst i carries RewindSimulator::burstPayload(i), so
// the partner tells each burst apart, and a burst of AMBE silence for a filled
// gap. Per row, at the partner:
//   in order and once   bursts that arrived exactly once, none higher before them
//   doubled             second and later copies
//   out of order        bursts that arrived after a higher one
//   filled              silence bursts in place of missing ones
//   lost                bursts that never arrived
//   begins/ends         begin and end messages (one each for one call)
//   cadence             p99 and maximum of |gap - 60 ms| between voice messages
//   added delay         p50 and p99 of a burst's arrival at the partner less its
//                       send time at the simulator, less the clean road's p50
//                       without the buffer (the loopback hops and the daemon)
// Each road has its own seed, the same for every setting, so the same
// datagrams are lost, doubled and held back in each row. A daemon that does
// not know NetworkJitter still runs the rows with the buffer: they are marked
// "buffer not built". A missed goal is reported, never a failure.
//
//   zelk_road_bench [--zelk PATH] [--road PATH] [--bursts N] [--only ROAD] [--json PATH] [--keep]
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
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

constexpr char kPassword[] = "r0ad";
constexpr uint32_t kUserID = 3106001;
constexpr uint32_t kTalkGroup = 91;
constexpr uint32_t kCaller = 2621234;
constexpr int kFrameMs = 60;
constexpr double kCadenceGoalMs = 5.0;
constexpr double kDelayMarginMs = 5.0;
constexpr int kSilence = -1, kForeign = -2;
// One AMBE frame of silence; a filled burst carries it three times.
constexpr uint8_t kSilenceFrame[9] = {0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B};

struct Road {
  const char* name;
  const char* spec;
  uint64_t seed;
  int jitterMs;
};

const Road kRoads[] = {
    {"clean", "", 1, 0},
    {"home", "loss=0.01,jitter=30", 2, 30},
    {"mobile", "burst=0.01:0.3,jitter=120,dup=0.01,reorder=0.01", 3, 120},
    {"awful", "loss=0.1,jitter=250,dup=0.02,reorder=0.02", 4, 250},
};
const int kSettings[] = {0, 120, 360};

struct Options {
  std::string zelk, road, jsonPath = "road_bench.json", only;
  int bursts = 150;
  bool keep = false;
};

// What the partner received, in arrival order.
struct Arrival {
  int burst;  // the burst's index, kSilence or kForeign
  int64_t atNs;
};

struct Row {
  std::string road, spec;
  uint64_t seed = 0;
  int jitterMs = 0, setting = 0;
  bool ran = false;
  bool subscribed = false;  // the server held the talk group when the call began
  std::string failure;  // why the row has no figures
  size_t inOrderOnce = 0, doubled = 0, outOfOrder = 0, filled = 0, lost = 0, foreign = 0, begins = 0, ends = 0;
  double cadenceP99 = 0, cadenceMax = 0;
  std::vector<double> delaysMs;  // raw, per burst that arrived
  std::vector<std::pair<int, double>> worstGaps;  // (message number at the partner, |gap - 60 ms|), largest first
  double delayP50 = 0, delayP99 = 0;
  std::string roadCounts;  // the relay's JSON
  std::string verdict;
};

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())))];
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether this zelk knows the NetworkJitter key: `zelk -t` lists every setting.
bool knowsNetworkJitter(const std::string& zelk, const std::string& dir) {
  std::ofstream(dir + "/probe.ini") << "[ZELK]\nUserID = " << kUserID << "\nNetworkJitter = 120\n";
  std::string command = zelk + " -t " + dir + "/probe.ini 2>&1";
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return false;
  std::string text;
  char line[512];
  while (fgets(line, sizeof(line), out) != nullptr) text += line;
  pclose(out);
  return text.find("NetworkJitter = 120") != std::string::npos;
}

int classify(const Datagram& d) {
  const uint8_t* frames = d.data() + 3;
  bool silence = true;
  for (int i = 0; i < 27; ++i) silence = silence && frames[i] == kSilenceFrame[i % 9];
  if (silence) return kSilence;
  int index = frames[0] << 8 | frames[1];
  uint8_t expected[27];
  RewindSimulator::burstPayload(index, expected);
  return memcmp(expected, frames, 27) == 0 ? index : kForeign;
}

// The call from the server: three headers, the bursts, the terminator, each in
// its 60 ms slot. Returns each burst's send time.
std::vector<int64_t> playCall(RewindSimulator& sim, int bursts) {
  std::vector<int64_t> sent(static_cast<size_t>(bursts), 0);
  uint8_t header[REWIND_VOICE_HEADER_SIZE] = {};
  writeBE24(header + 3, kTalkGroup);
  writeBE24(header + 6, kCaller);
  Clock::time_point next = Clock::now();
  for (int i = 0; i < 3; ++i) {
    sleepUntil(next);
    sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 1, REWIND_FLAG_REAL_TIME_1, header, sizeof(header));
    next += std::chrono::milliseconds(kFrameMs);
  }
  for (int i = 0; i < bursts; ++i) {
    sleepUntil(next);
    uint8_t burst[27];
    RewindSimulator::burstPayload(i, burst);
    sent[static_cast<size_t>(i)] = nanos(Clock::now());
    sim.sendPacket(REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, burst, sizeof(burst));
    next += std::chrono::milliseconds(kFrameMs);
  }
  sleepUntil(next);
  sim.sendPacket(REWIND_TYPE_DMR_DATA_BASE + 2, REWIND_FLAG_REAL_TIME_1, nullptr, 0);
  return sent;
}

void judge(Row& r, const std::vector<Arrival>& arrivals, const std::vector<int64_t>& sent, int bursts) {
  std::vector<int> copies(static_cast<size_t>(bursts), 0);
  std::vector<bool> late(static_cast<size_t>(bursts), false);
  std::vector<double> deviations;
  int highest = -1;
  for (size_t i = 0; i < arrivals.size(); ++i) {
    const Arrival& a = arrivals[i];
    if (i > 0) deviations.push_back(std::fabs(static_cast<double>(a.atNs - arrivals[i - 1].atNs) / 1e6 - kFrameMs));
    if (a.burst == kSilence) ++r.filled;
    if (a.burst == kForeign) ++r.foreign;
    if (a.burst < 0 || a.burst >= bursts) continue;
    const size_t b = static_cast<size_t>(a.burst);
    if (copies[b]++ > 0) {
      ++r.doubled;
      continue;
    }
    r.delaysMs.push_back(static_cast<double>(a.atNs - sent[b]) / 1e6);
    if (a.burst < highest) {
      late[b] = true;
      ++r.outOfOrder;
    }
    highest = std::max(highest, a.burst);
  }
  for (size_t b = 0; b < copies.size(); ++b) {
    if (copies[b] == 0) ++r.lost;
    if (copies[b] == 1 && !late[b]) ++r.inOrderOnce;
  }
  for (size_t i = 0; i < deviations.size(); ++i) r.worstGaps.emplace_back(static_cast<int>(i + 1), deviations[i]);
  std::sort(r.worstGaps.begin(), r.worstGaps.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  if (r.worstGaps.size() > 5) r.worstGaps.resize(5);
  r.cadenceP99 = quantile(deviations, 0.99);
  r.cadenceMax = deviations.empty() ? 0 : *std::max_element(deviations.begin(), deviations.end());
}

// Waits (at most timeoutMs) until the file holds the text; the file's content.
std::string waitForText(const std::string& path, const std::string& text, int timeoutMs) {
  std::string content;
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    content = readAll(path);
    if (content.find(text) != std::string::npos) break;
    usleep(20000);
  }
  return content;
}

void runRow(const Options& o, const std::string& dir, bool rigRealtime, Row& r) {
  RewindSimulator sim;
  sim.setPassword(kPassword);
  PartnerLink partner;
  std::mutex mutex;
  std::vector<Arrival> arrivals;
  partner.onReceive([&](const Datagram& d) {
    const int64_t now = nanos(Clock::now());
    std::lock_guard<std::mutex> lock(mutex);
    if (d.size() == 30 && d[0] == TAG_AMBE_72) arrivals.push_back({classify(d), now});
    if (!d.empty() && d[0] == TAG_BEGIN_TX) ++r.begins;
    if (!d.empty() && d[0] == TAG_END_TX) ++r.ends;
  });
  const int daemonPort = testing_support::freeUdpPort();
  if (!sim.start("127.0.0.1", 0) || !partner.open(0, "127.0.0.1", daemonPort)) {
    r.failure = "cannot open the simulator or the partner socket";
    return;
  }
  const std::string roadOut = dir + "/road.out", roadStats = dir + "/road.json", zelkOut = dir + "/zelk.out";
  unlink(roadOut.c_str());
  unlink(roadStats.c_str());
  std::vector<std::string> roadCommand = {o.road, "--listen", "127.0.0.1:0", "--server",
                                          "127.0.0.1:" + std::to_string(sim.port()), "--seed",
                                          std::to_string(r.seed), "--stats", roadStats};
  if (!r.spec.empty()) roadCommand.insert(roadCommand.end(), {"--both", r.spec});
  Child road(roadCommand, roadOut, {});
  // The relay is the road: its own delays are the road's, not the machine's.
  struct sched_param roadPriority {};
  roadPriority.sched_priority = 20;
  if (rigRealtime && road.ok()) sched_setscheduler(road.id(), SCHED_FIFO, &roadPriority);
  const std::string started = waitForText(roadOut, ", seed ", 5000);
  const std::string listening = "listening on 127.0.0.1:";
  const size_t at = started.find(listening);
  if (at == std::string::npos) {
    r.failure = "zelk-road did not start: " + started;
    return;
  }
  const int roadPort = atoi(started.c_str() + at + listening.size());
  std::ofstream(dir + "/Trelvane.ini") << "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " << roadPort
                                       << "\nBMPassword = " << kPassword << "\nUserID = " << kUserID
                                       << "\nStartTG = " << kTalkGroup << "\nAddress = 127.0.0.1\nTXPort = "
                                       << partner.port() << "\nRXPort = " << daemonPort << "\nLogLevel = 3\n"
                                       << (r.setting > 0 ? "NetworkJitter = " + std::to_string(r.setting) + "\n" : "");
  unlink(zelkOut.c_str());
  Child zelk({o.zelk, dir + "/Trelvane.ini"}, zelkOut, {"ZELK_LOG=" + dir});
  // Over the worst road a login may take a few attempts. The call is sent to the
  // client whatever it subscribed: the road may swap the cancelling packet and
  // the subscription that follows it, and then the server holds no group.
  bool loggedIn = false;
  for (int i = 0; i < 600 && !loggedIn && zelk.running(); ++i) {
    loggedIn = sim.loggedIn() && readAll(zelkOut).find("Successful connection to BM server") != std::string::npos;
    if (!loggedIn) usleep(50000);
  }
  if (!loggedIn) {
    r.failure = "zelk did not log in over the road";
    return;
  }
  usleep(500000);
  r.subscribed = sim.subscribedTalkGroup() == kTalkGroup;
  std::vector<int64_t> sent = playCall(sim, o.bursts);
  // The terminator's way through the road, the buffer and the call's end.
  usleep(static_cast<useconds_t>(r.jitterMs + r.setting + 1500) * 1000);
  zelk.terminate(5000);
  road.terminate(5000);
  r.roadCounts = readAll(roadStats);
  while (!r.roadCounts.empty() && r.roadCounts.back() == '\n') r.roadCounts.pop_back();
  partner.close();
  std::lock_guard<std::mutex> lock(mutex);
  judge(r, arrivals, sent, o.bursts);
  r.ran = true;
}

void verdicts(std::vector<Row>& rows, bool bufferBuilt) {
  double baseline = 0;
  for (const Row& r : rows) {
    if (r.ran && r.jitterMs == 0 && r.setting == 0) baseline = quantile(r.delaysMs, 0.5);
  }
  for (Row& r : rows) {
    if (!r.ran) {
      r.verdict = "no figures: " + r.failure;
      continue;
    }
    std::vector<double> added;
    for (double d : r.delaysMs) added.push_back(d - baseline);
    r.delayP50 = quantile(added, 0.5);
    r.delayP99 = quantile(added, 0.99);
    if (r.setting == 0) {
      r.verdict = "baseline";
    } else if (!bufferBuilt) {
      r.verdict = "buffer not built";
    } else if (r.setting <= r.jitterMs) {
      r.verdict = "buffer within the road's jitter";
    } else {
      std::vector<std::string> missed;
      if (r.doubled + r.outOfOrder + r.foreign != 0 || r.begins != 1 || r.ends != 1) missed.push_back("out of place");
      if (r.cadenceP99 > kCadenceGoalMs) missed.push_back("cadence");
      if (r.delayP99 > r.setting + kDelayMarginMs) missed.push_back("delay");
      r.verdict = "met";
      if (!missed.empty()) {
        r.verdict = "NOT MET:";
        for (const std::string& m : missed) r.verdict += " " + m;
      }
    }
  }
}

void printTable(const std::vector<Row>& rows, int bursts) {
  printf("\n| Road | Seed | NetworkJitter | In order and once | Doubled | Out of order | Filled | Lost | Begins/ends "
         "| Cadence p99 | Cadence max | Added delay p50 | Added delay p99 | Goal |\n");
  printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    if (!r.ran) {
      printf("| %s | %llu | %d | | | | | | | | | | | %s |\n", r.road.c_str(), static_cast<unsigned long long>(r.seed),
             r.setting, r.verdict.c_str());
      continue;
    }
    printf("| %s | %llu | %s | %zu of %d | %zu | %zu | %zu | %zu | %zu/%zu | %.1f ms | %.1f ms | %.1f ms | %.1f ms "
           "| %s |\n",
           r.road.c_str(), static_cast<unsigned long long>(r.seed),
           r.setting == 0 ? "0 (off)" : (std::to_string(r.setting) + " ms").c_str(), r.inOrderOnce, bursts, r.doubled,
           r.outOfOrder, r.filled, r.lost, r.begins, r.ends, r.cadenceP99, r.cadenceMax, r.delayP50, r.delayP99,
           r.verdict.c_str());
  }
  printf("\nRoads (zelk-road --both): ");
  for (const Road& road : kRoads) printf("%s \"%s\"; ", road.name, road.spec[0] != '\0' ? road.spec : "nothing");
  printf("\ngoals with the buffer above the road's jitter: every surviving burst once and in order, one begin and "
         "one end; cadence p99 <= %.0f ms; added delay p99 <= NetworkJitter + %.0f ms\n",
         kCadenceGoalMs, kDelayMarginMs);
}

void writeJson(const std::vector<Row>& rows, const Options& o, bool bufferBuilt) {
  nlohmann::json table = nlohmann::json::array();
  for (const Row& r : rows) {
    nlohmann::json row = {{"road", r.road}, {"spec", r.spec}, {"seed", r.seed}, {"network_jitter_ms", r.setting},
                          {"verdict", r.verdict}};
    if (r.ran) {
      row.update({{"in_order_once", r.inOrderOnce}, {"doubled", r.doubled}, {"out_of_order", r.outOfOrder},
                  {"filled", r.filled}, {"lost", r.lost}, {"foreign", r.foreign}, {"begins", r.begins},
                  {"ends", r.ends}, {"subscribed", r.subscribed}, {"cadence_p99_ms", r.cadenceP99},
                  {"cadence_max_ms", r.cadenceMax}, {"added_delay_p50_ms", r.delayP50},
                  {"added_delay_p99_ms", r.delayP99}});
      nlohmann::json worst = nlohmann::json::array();
      for (const auto& g : r.worstGaps) worst.push_back({{"voice_message", g.first}, {"off_by_ms", g.second}});
      row["worst_gaps"] = worst;
      nlohmann::json counts = nlohmann::json::parse(r.roadCounts, nullptr, false);
      if (!counts.is_discarded()) row["road_counts"] = counts;
    }
    table.push_back(row);
  }
  nlohmann::json report = {{"bursts", o.bursts}, {"buffer_built", bufferBuilt}, {"table", table}};
  std::ofstream(o.jsonPath) << report.dump(2) << "\n";
}

int parseOptions(int argc, char** argv, Options& o) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string here = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  here = here.substr(0, here.rfind('/') + 1);
  o.zelk = here + "zelk";
  o.road = here + "zelk-road";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--zelk") o.zelk = next();
    else if (a == "--road") o.road = next();
    else if (a == "--bursts") o.bursts = std::max(20, atoi(next()));
    else if (a == "--only") o.only = next();
    else if (a == "--json") o.jsonPath = next();
    else if (a == "--keep") o.keep = true;
    else {
      fprintf(stderr, "usage: zelk_road_bench [--zelk PATH] [--road PATH] [--bursts N] [--only ROAD] [--json PATH] "
                      "[--keep]\n");
      return 2;
    }
  }
  if (access(o.zelk.c_str(), X_OK) != 0 || access(o.road.c_str(), X_OK) != 0) {
    fprintf(stderr, "no zelk at %s or no zelk-road at %s (use --zelk, --road)\n", o.zelk.c_str(), o.road.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  if (int status = parseOptions(argc, argv, o)) return status;
  // The rig's threads (the player, the partner's receiver) before other work on
  // the machine, where the system allows it, and so the relay; the daemon starts at
  // normal priority (Child) and raises its voice threads itself.
  struct sched_param rigPriority {};
  rigPriority.sched_priority = 20;
  const bool rigRealtime = sched_setscheduler(0, SCHED_FIFO, &rigPriority) == 0;
  char pattern[] = "/tmp/zelk-road-XXXXXX";
  const std::string dir = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  const bool bufferBuilt = knowsNetworkJitter(o.zelk, dir);
  printf("== a network call of %d bursts, %d ms apart, over each road; rig %s; NetworkJitter %s\n", o.bursts,
         kFrameMs, rigRealtime ? "SCHED_FIFO" : "at normal priority", bufferBuilt ? "built" : "not built");
  fflush(stdout);

  std::vector<Row> rows;
  for (const Road& road : kRoads) {
    if (!o.only.empty() && o.only != road.name) continue;
    for (int setting : kSettings) {
      Row r;
      r.road = road.name;
      r.spec = road.spec;
      r.seed = road.seed;
      r.jitterMs = road.jitterMs;
      r.setting = setting;
      runRow(o, dir, rigRealtime, r);
      printf("   %-7s NetworkJitter %3d: %s\n", road.name, setting,
             r.ran ? (std::to_string(r.inOrderOnce) + " of " + std::to_string(o.bursts) + " in order and once, road " +
                      r.roadCounts)
                         .c_str()
                   : r.failure.c_str());
      fflush(stdout);
      rows.push_back(r);
    }
  }
  verdicts(rows, bufferBuilt);
  printTable(rows, o.bursts);
  writeJson(rows, o, bufferBuilt);
  printf("   (JSON: %s)\n", o.jsonPath.c_str());
  if (!o.keep) {
    for (const char* name : {"/zelk.out", "/ZELK.log", "/Trelvane.ini", "/probe.ini", "/road.out", "/road.json"}) {
      unlink((dir + name).c_str());
    }
    rmdir(dir.c_str());
  } else {
    printf("   (files kept in %s)\n", dir.c_str());
  }
  return 0;
}
