// SPDX-License-Identifier: GPL-2.0-or-later
// zelk_soak_bench: a month unattended in minutes. The real zelk binary runs
// between the Rewind simulator and a partner socket (both in this process) with
// a real mosquitto, and lives through --days days of its own time: the tests'
// preloaded clock library moves its monotonic and wall clocks on together. Time
// passes in steps of at most 9 s, each ended by a stranger's datagram at the
// daemon's Rewind socket; a step waits until the daemon's keep-alive of that step
// has reached the server, so the daemon is never more than one step behind the
// server's answers and never takes it for lost unless the server falls silent.
// No step lands inside a call: calls run on the real clock.
//
// The simulated day (hours from its start):
//   every hour   a call each way at once, 60 ms a frame, numbered frames; and
//                strangers' garbage at both sockets, malformed datagrams from the
//                partner's host
//   6            the log rotated: renamed, then SIGHUP
//   9            a talk-group change from the partner (txTg=)
//   11:30-12     the broker killed, and started again at 12
//   17:50        every third day: the server silent until the daemon finds it
//                lost, then back; the daemon must log in again
//   20           a reconnect command from the partner (txTg=password@host:port!tg)
//   23           a new subscriber file; the daily reload takes it at the next call
// After every call the driver reads the daemon's resident memory; a day's figure
// is the least of them, the daemon at rest: the day's reload taken and the old
// table freed, the broker's backlog sent, no call in flight. (From the lookup
// that starts a reload to the one that takes the new table, an hour later, the
// daemon holds two tables; the hour of that moves through the day.) After the
// day's last call the driver notes the open descriptors and threads. At the end
// it stops the daemon with SIGTERM and checks that every frame of every call
// arrived in order, that memory at rest on the last day is within 256 KiB of
// day 1 and the descriptors and threads are as after day 1, that the rotated log
// files together hold every line the daemon printed, and that each keep-alive,
// lost server, login, reconnect, group change, reload and broker restart did what
// it should. Any failure is named and makes the exit status 1.
//
//   zelk_soak_bench [--days N] [--frames N] [--subscribers N] [--zelk PATH]
//                   [--clock PATH] [--json PATH] [--keep]
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/stress/stress_rig.h"
#include "network/rewind_data.h"

using namespace stress_bench;

namespace {

constexpr char kPassword[] = "s0ak";
constexpr uint32_t kUserID = 3106002;
constexpr uint32_t kTalkGroup = 91;
constexpr uint32_t kOtherGroup = 92;
constexpr uint32_t kCaller = 2627001;  // a line of every day's subscriber file
constexpr int64_t kHourMs = 3600 * 1000;
constexpr int64_t kStepMs = 9000;  // under the broker client's 10 s answer time-out
constexpr int64_t kShortStepMs = 5500;  // a step shorter than this may end no quiet period
constexpr int kKeepAliveWaitMs = 200;
constexpr int kMostStepsWithoutKeepAlive = 3;  // 27 s: close to the lost-server test's 30 s
constexpr int kLossEvery = 3;                  // days
constexpr long kMemoryGrowthKb = 256;

struct Options {
  std::string zelk, clock, jsonPath = "soak_bench.json";
  int days = 30;
  int frames = 4;  // per call, each way
  int subscribers = 5000;
  bool keep = false;
};

// The daemon's clock advance, shared with the preloaded library through a file.
class SharedAdvance {
 public:
  explicit SharedAdvance(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    void* mapped = MAP_FAILED;
    if (ftruncate(fd, sizeof(int64_t)) == 0) {
      mapped = mmap(nullptr, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (mapped != MAP_FAILED) shared = static_cast<int64_t*>(mapped);
  }
  ~SharedAdvance() {
    if (shared != nullptr) munmap(shared, sizeof(int64_t));
  }
  SharedAdvance(const SharedAdvance&) = delete;
  SharedAdvance& operator=(const SharedAdvance&) = delete;
  bool ok() const { return shared != nullptr; }
  void add(int64_t ms) { __atomic_add_fetch(shared, ms, __ATOMIC_RELEASE); }
  int64_t total() const { return __atomic_load_n(shared, __ATOMIC_ACQUIRE); }

 private:
  int64_t* shared = nullptr;
};

// A UDP socket on a loopback address of its own (127.0.0.2 is nobody the daemon
// knows) or on 127.0.0.1 beside the partner.
class Sender {
 public:
  explicit Sender(const char* address) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Sender() {
    if (fd >= 0) close(fd);
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  bool ok() const { return fd >= 0; }
  void send(const struct sockaddr_storage& to, socklen_t length, const std::vector<uint8_t>& data) const {
    sendto(fd, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), length);
  }
  void sendToPort(int port, const std::vector<uint8_t>& data) const {
    struct sockaddr_storage to {};
    struct sockaddr_in* a = reinterpret_cast<struct sockaddr_in*>(&to);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    send(to, sizeof(struct sockaddr_in), data);
  }

 private:
  int fd = -1;
};

// Follows the daemon's log file by its path across rotations and hands every
// whole line to the observer. A renamed file is read to its end once the daemon
// has created the new one: it creates that only after closing the old.
class LogFollower {
 public:
  LogFollower(std::string path, std::function<void(const std::string&)> observer)
      : path(std::move(path)), observer(std::move(observer)) {}
  ~LogFollower() {
    if (fd >= 0) close(fd);
  }
  void poll() {
    struct stat named {};
    bool exists = stat(path.c_str(), &named) == 0;
    if (fd < 0) {
      if (!exists) return;
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      fstat(fd, &current);
    }
    readAll();
    if (exists && named.st_ino != current.st_ino) {
      readAll();
      close(fd);
      fd = -1;
      poll();
    }
  }
  // Polls until the predicate holds (at most timeoutMs).
  bool waitUntil(const std::function<bool()>& holds, int timeoutMs) {
    for (int waited = 0;; waited += 5) {
      poll();
      if (holds()) return true;
      if (waited >= timeoutMs) return false;
      usleep(5000);
    }
  }

 private:
  void readAll() {
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
      partial.append(buffer, static_cast<size_t>(n));
      size_t start = 0, end;
      while ((end = partial.find('\n', start)) != std::string::npos) {
        observer(partial.substr(start, end - start));
        start = end + 1;
      }
      partial.erase(0, start);
    }
  }

  std::string path;
  std::function<void(const std::string&)> observer;
  int fd = -1;
  struct stat current {};
  std::string partial;
};

// What the log has said so far.
struct LogCounts {
  size_t lines = 0, lost = 0, logins = 0, reconnects = 0, reloads = 0, malformed = 0;
  std::set<std::string> callers;  // callsigns named at the network calls' begin
  void note(const std::string& line) {
    ++lines;
    lost += line.find("server connection lost?") != std::string::npos;
    logins += line.find("Successful connection to BM server") != std::string::npos;
    reconnects += line.find("I: ") == 0 && line.find("Server login success") != std::string::npos;
    reloads += line.find("Subscriber IDs loaded:") != std::string::npos;
    malformed += line.find("TLV length does not match") != std::string::npos;
    const std::string begin = "ODMR Begin Tx: src = ";
    size_t at = line.find(begin);
    if (at != std::string::npos) callers.insert(line.substr(at + begin.size(), line.find(',', at) - at - begin.size()));
  }
};

struct DayRow {
  int day = 0;
  long rssKb = 0;   // the least after a call of the day: the daemon at rest
  long peakKb = 0;  // the most after a call of the day
  int descriptors = 0, threads = 0;
  size_t calls = 0, framesSent = 0, framesReceived = 0;
};

std::string callsignOfDay(int day) {
  char text[16];
  snprintf(text, sizeof(text), "D%02dSK", day);
  return text;
}

// Day `day`'s file: the caller under that day's callsign amid `lines` others that
// change from day to day. Written beside and renamed, as a download would be.
void writeSubscriberFile(const std::string& path, int day, int lines) {
  std::string scratch = path + ".new";
  FILE* file = fopen(scratch.c_str(), "w");
  if (file == nullptr) return;
  fputs("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n", file);
  std::mt19937 random(static_cast<unsigned>(day) * 7919u + 1u);
  for (int i = 0; i < lines; ++i) {
    if (i == lines / 2) fprintf(file, "%u,%s,Soak,Day%d,Town,State,Country\n", kCaller, callsignOfDay(day).c_str(), day);
    unsigned id = 1000000 + static_cast<unsigned>(i) * 11 + static_cast<unsigned>(day % 5);
    fprintf(file, "%u,X%c%c%u,Name%u,Last,City %u,State,Country\n", id, 'A' + static_cast<char>(random() % 26),
            'A' + static_cast<char>(random() % 26), static_cast<unsigned>(random() % 10), static_cast<unsigned>(random() % 977),
            static_cast<unsigned>(random() % 50));
  }
  fclose(file);
  rename(scratch.c_str(), path.c_str());
}

long statusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, strlen(field), field) == 0) return atol(line.c_str() + strlen(field));
  }
  return -1;
}

int openDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

size_t countInFile(const std::string& path, const char* text) {
  std::ifstream in(path);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) n += line.find(text) != std::string::npos;
  return n;
}

// The daemon's own lines in a file: "L: yyyy-mm-dd hh:mm:ss.mmm ..."; the broker
// client's messages on standard output are not log lines.
std::vector<std::string> logLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() >= 27 && strchr("DMIWEF", line[0]) != nullptr && line[1] == ':' && line[2] == ' ' &&
        line[7] == '-' && line[13] == ' ' && line[16] == ':' && line[23] == '.') {
      lines.push_back(line);
    }
  }
  return lines;
}

class Soak {
 public:
  Soak(const Options& o, const std::string& dir)
      : o(o), dir(dir), peers(dir, kPassword), advance(dir + "/advance"), stranger("127.0.0.2"),
        neighbour("127.0.0.1"), follower(dir + "/ZELK.log", [this](const std::string& l) { counts.note(l); }),
        random(20261209) {}

  int run() {
    if (!start()) return 1;
    printf("== %d simulated days; a call of %d frames each way every hour; time in steps of %lld s\n", o.days,
           o.frames, static_cast<long long>(kStepMs / 1000));
    printf("%4s %9s %9s %6s %8s %6s %15s %8s\n", "day", "RSS kB", "peak kB", "fds", "threads", "calls", "frames",
           "wall s");
    fflush(stdout);
    started = Clock::now();
    for (int day = 1; day <= o.days && zelk->running(); ++day) runDay(day);
    return finish();
  }

 private:
  bool start() {
    writeSubscriberFile(dir + "/subscriber_ids.csv", 0, o.subscribers);
    if (!advance.ok() || !stranger.ok() || !neighbour.ok() || !peers.start()) {
      fprintf(stderr, "cannot start the simulator, the partner socket, mosquitto or the clock file\n");
      return false;
    }
    std::ofstream(dir + "/Trelvane.ini") << "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " << peers.sim.port()
                                         << "\nBMPassword = " << kPassword << "\nUserID = " << kUserID
                                         << "\nStartTG = " << kTalkGroup << "\nAddress = 127.0.0.1\nTXPort = "
                                         << peers.partner.port() << "\nRXPort = " << peers.daemonPort
                                         << "\nLogLevel = 2\nBrokerAddress = 127.0.0.1\nBrokerPort = "
                                         << peers.brokerPort << "\nBrokerTopic = soak/log\nsubscriberFile = " << dir
                                         << "/subscriber_ids.csv\n";
    std::vector<std::string> env = {"ZELK_LOG=" + dir, "LD_PRELOAD=" + o.clock, "ZELK_CLOCK_ADVANCE=" + dir + "/advance",
                                    "ZELK_CLOCK_ADVANCE_WALL=1"};
    zelk.reset(new Child({o.zelk, dir + "/Trelvane.ini"}, dir + "/zelk.out", env));
    if (!waitForLogin(peers.sim, *zelk, kTalkGroup)) {
      fprintf(stderr, "zelk did not log in to the simulator; its output is in %s/zelk.out\n", dir.c_str());
      return false;
    }
    CallPlan plan;
    plan.calls = 1;
    plan.frames = o.frames;
    plan.caller = kCaller;
    plan.talkGroup = kTalkGroup;
    plan.pauseMs = 20;
    plan.settleMs = 80;
    rig.reset(new Rig(plan, peers.sim, peers.partner));
    t0 = Clock::now();
    return true;
  }

  int64_t simulatedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count() + advance.total();
  }

  void fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (failures.size() < 50) failures.push_back(text);
    fprintf(stderr, "FAILED: %s\n", text);
  }

  // One step of the daemon's time: true once its keep-alive of that step reached
  // the server (silent or not). A step shorter than a quiet period may end none:
  // it waits for nothing.
  bool step(int64_t ms) {
    Clock::time_point begun = Clock::now();
    peers.sim.clearPackets();
    advance.add(ms);
    struct sockaddr_storage socket;
    socklen_t length = 0;
    if (peers.sim.clientEndpoint(&socket, &length)) stranger.send(socket, length, {0});
    ++steps;
    bool answered = ms < kShortStepMs || peers.sim.waitForPacket(REWIND_TYPE_KEEP_ALIVE, 1, kKeepAliveWaitMs);
    // A moment for the daemon to read the answer before its clock moves again.
    if (answered) usleep(300);
    stepping += Clock::now() - begun;
    return answered;
  }

  // Lets the daemon's time pass up to `at` (ms after the start).
  void passTo(int64_t at) {
    while (zelk->running()) {
      int64_t left = at - simulatedMs();
      if (left <= 0) return;
      // When the daemon read the server's last answer only after the clock moved
      // on, its new quiet period outlasts the step: the next step ends it.
      if (step(std::min(left, kStepMs))) {
        unanswered = 0;
        continue;
      }
      ++stepsWithoutKeepAlive;
      if (++unanswered == kMostStepsWithoutKeepAlive) {
        fail("no keep-alive reached the server in %d steps up to simulated %s", unanswered, when().c_str());
      }
    }
  }

  std::string when() const {
    int64_t ms = simulatedMs();
    char text[48];
    snprintf(text, sizeof(text), "day %lld %02lld:%02lld", static_cast<long long>(ms / (24 * kHourMs) + 1),
             static_cast<long long>(ms / kHourMs % 24), static_cast<long long>(ms / 60000 % 60));
    return text;
  }

  void runDay(int day) {
    const int64_t base = static_cast<int64_t>(day - 1) * 24 * kHourMs;
    for (int hour = 1; hour <= 24 && zelk->running(); ++hour) {
      const int64_t at = base + hour * kHourMs;
      if (hour == 12) brokerDown(at - kHourMs / 2);
      if (hour == 18 && day % kLossEvery == 2) loseServer(at - 10 * 60000);
      passTo(at);
      if (hour == 12) brokerUp();
      if (hour == 6) rotateLog();
      if (hour == 9) changeGroup(group == kTalkGroup ? kOtherGroup : kTalkGroup);
      if (hour == 20) reconnect();
      if (hour == 23) writeSubscriberFile(dir + "/subscriber_ids.csv", day, o.subscribers);
      garbage();
      call();
      long rss = statusField(zelk->id(), "VmRSS:");
      if (rss >= 0) {
        restKb = restKb < 0 ? rss : std::min(restKb, rss);
        peakKb = std::max(peakKb, rss);
      }
    }
    follower.poll();
    DayRow row;
    row.day = day;
    row.rssKb = restKb;
    row.peakKb = peakKb;
    restKb = -1;
    peakKb = 0;
    row.threads = static_cast<int>(statusField(zelk->id(), "Threads:"));
    row.descriptors = openDescriptors(zelk->id());
    row.calls = callsToday;
    row.framesSent = sentToday;
    row.framesReceived = receivedToday;
    rows.push_back(row);
    callsToday = sentToday = receivedToday = 0;
    printf("%4d %9ld %9ld %6d %8d %6zu %7zu/%-7zu %8.0f\n", row.day, row.rssKb, row.peakKb, row.descriptors,
           row.threads, row.calls, row.framesReceived, row.framesSent,
           std::chrono::duration<double>(Clock::now() - started).count());
    fflush(stdout);
    if (!zelk->running()) fail("zelk ended on day %d; its output is in %s/zelk.out", day, dir.c_str());
    if (brokerStarts > 0 && mosquittoConnections() <= connectionsAtStart) {
      fail("zelk did not connect again to the broker started on day %d", day);
    }
  }

  void call() {
    Event hourly{"hour", nullptr, nullptr, nullptr, nullptr};
    std::pair<Figures, Figures> figures = rig->run(hourly);
    ++callsToday;
    for (const Figures* f : {&figures.first, &figures.second}) {
      sentToday += f->sent;
      receivedToday += f->received;
      sentTotal += f->sent;
      receivedTotal += f->received;
      if (f->lost > 0 || f->reordered > 0 || f->received != f->sent) {
        fail("%s, call %s: %zu of %zu frames arrived, %zu lost, %zu out of order", when().c_str(),
             f == &figures.first ? "to the network" : "from the network", f->received, f->sent, f->lost,
             f->reordered);
      }
    }
  }

  // Strangers' datagrams at both sockets (dropped unlogged) and malformed ones
  // from the partner's host (each logged).
  void garbage() {
    struct sockaddr_storage socket;
    socklen_t length = 0;
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> d(1 + random() % 200);
      for (uint8_t& b : d) b = static_cast<uint8_t>(random());
      if (d.size() >= REWIND_HEADER_SIZE && i == 0) memcpy(d.data(), REWIND_PROTOCOL_SIGN, REWIND_SIGN_LENGTH);
      if (peers.sim.clientEndpoint(&socket, &length)) stranger.send(socket, length, d);
      stranger.sendToPort(peers.daemonPort, d);
    }
    for (int i = 0; i < 2; ++i) {
      std::vector<uint8_t> d(2 + random() % 40);
      for (uint8_t& b : d) b = static_cast<uint8_t>(random());
      d[1] = static_cast<uint8_t>(d.size() - 1);  // says one byte more than it holds
      neighbour.sendToPort(peers.daemonPort, d);
      ++malformedSent;
    }
  }

  void rotateLog() {
    follower.poll();
    std::string rotated = dir + "/ZELK.log." + std::to_string(++rotations);
    rename((dir + "/ZELK.log").c_str(), rotated.c_str());
    zelk->signal(SIGHUP);
  }

  void changeGroup(uint32_t to) {
    peers.partner.send(PartnerLink::remoteCommand("txTg=" + std::to_string(to)));
    group = to;
    ++groupChanges;
    for (int i = 0; i < 200 && peers.sim.subscribedTalkGroup() != to; ++i) usleep(10000);
    if (peers.sim.subscribedTalkGroup() != to) fail("%s: the change to talk group %u did not reach the server", when().c_str(), to);
  }

  void reconnect() {
    size_t before = counts.reconnects;
    peers.partner.send(PartnerLink::remoteCommand(std::string("txTg=") + kPassword + "@127.0.0.1:" +
                                                  std::to_string(peers.sim.port()) + "!" + std::to_string(group)));
    ++reconnectsOrdered;
    if (!follower.waitUntil([&] { return counts.reconnects > before; }, 10000)) {
      fail("%s: the reconnect command did not log in again", when().c_str());
    }
    for (int i = 0; i < 200 && peers.sim.subscribedTalkGroup() != group; ++i) usleep(10000);
  }

  void brokerDown(int64_t at) {
    passTo(at);
    peers.broker.kill();
  }

  void brokerUp() {
    connectionsAtStart = mosquittoConnections();
    if (!peers.broker.start()) fail("%s: mosquitto did not start again", when().c_str());
    ++brokerStarts;
  }

  size_t mosquittoConnections() const { return countInFile(dir + "/mosquitto.out", "New client connected"); }

  // The server falls silent until the daemon has logged the lost server, then
  // answers again; the daemon must log in again on its own.
  void loseServer(int64_t at) {
    passTo(at);
    follower.poll();
    size_t lost = counts.lost, logins = counts.logins;
    peers.sim.setSilent(true);
    ++lossesMade;
    for (int i = 0; i < 10 && counts.lost == lost && zelk->running(); ++i) {
      step(kStepMs);
      follower.poll();
    }
    peers.sim.setSilent(false);
    if (counts.lost == lost) {
      fail("%s: the silent server was not found lost", when().c_str());
      return;
    }
    if (!follower.waitUntil([&] { return counts.logins > logins; }, 15000) ||
        !waitForLogin(peers.sim, *zelk, group)) {
      fail("%s: zelk did not log in again after the lost server", when().c_str());
    }
  }

  int finish() {
    follower.poll();
    const int status = zelk->terminate(10000);
    follower.poll();
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    if (status != 0) fail("zelk ended with status %d on SIGTERM", status);
    checkLog();
    checkDays();
    if (counts.lost != lossesMade) fail("%zu lost-server lines for %zu silences", counts.lost, lossesMade);
    if (counts.reconnects != reconnectsOrdered) {
      fail("%zu reconnects logged in of %zu ordered", counts.reconnects, reconnectsOrdered);
    }
    if (counts.malformed != malformedSent) fail("%zu malformed datagrams logged of %zu sent", counts.malformed, malformedSent);
    // The start-up load, then one reload a day taken at the next day's first call.
    if (counts.reloads != static_cast<size_t>(o.days)) {
      fail("%zu subscriber loads logged for %d days", counts.reloads, o.days);
    }
    // Each load took a newer file: the caller's callsign of that day. (The table's
    // age counts from the lookup that asked for the reload, and only a lookup more
    // than 24 hours later asks again: under calls on the hour that lookup is the
    // same hour's a day later or, by a few milliseconds of the calls' own timing,
    // the next hour's. The reload moves later through the day, now and then by a
    // whole day's file.)
    if (counts.callers.size() != counts.reloads || counts.callers.count(callsignOfDay(0)) == 0) {
      fail("%zu callsigns of the caller named for %zu subscriber loads", counts.callers.size(), counts.reloads);
    }
    printf("\n%zu calls, %zu of %zu frames arrived in order; %zu steps of the daemon's clock in %.0f s (%zu ended no "
           "keep-alive)\n", callsTotal(), receivedTotal, sentTotal, steps, std::chrono::duration<double>(stepping).count(),
           stepsWithoutKeepAlive);
    printf("%zu log lines in %d rotated files and the current one; %zu lost servers found, %zu logins in all, "
           "%zu reconnects, %zu group changes, %zu broker restarts, %zu reloads, %zu malformed logged\n",
           counts.lines, rotations, counts.lost, counts.logins, counts.reconnects, groupChanges, brokerStarts,
           counts.reloads, counts.malformed);
    printf("%d simulated days in %.0f s of wall time\n", o.days, wall);
    writeJson(wall);
    if (failures.empty()) {
      printf("soak passed\n");
    } else {
      printf("soak FAILED: %zu problems, the first: %s\n", failures.size(), failures.front().c_str());
    }
    return failures.empty() ? 0 : 1;
  }

  size_t callsTotal() const {
    size_t n = 0;
    for (const DayRow& r : rows) n += r.calls;
    return n;
  }

  // Every line the daemon printed is in the log files, in the same order.
  void checkLog() {
    std::vector<std::string> printed = logLines(dir + "/zelk.out");
    std::vector<std::string> filed;
    for (int i = 1; i <= rotations + 1; ++i) {
      std::string name = dir + "/ZELK.log" + (i <= rotations ? "." + std::to_string(i) : "");
      std::vector<std::string> part = logLines(name);
      filed.insert(filed.end(), part.begin(), part.end());
    }
    if (printed != filed) {
      size_t i = 0;
      while (i < printed.size() && i < filed.size() && printed[i] == filed[i]) ++i;
      fail("the log files hold %zu lines, the daemon printed %zu; the first difference at line %zu: \"%s\"",
           filed.size(), printed.size(), i + 1, i < printed.size() ? printed[i].c_str() : "(end)");
    }
  }

  void checkDays() {
    if (rows.empty()) return;
    const DayRow& first = rows.front();
    const DayRow& last = rows.back();
    if (last.rssKb - first.rssKb > kMemoryGrowthKb) {
      fail("resident memory at rest grew from %ld kB on day 1 to %ld kB on day %d", first.rssKb, last.rssKb, last.day);
    }
    if (last.descriptors != first.descriptors) {
      fail("%d descriptors open on day %d, %d after day 1", last.descriptors, last.day, first.descriptors);
    }
    if (last.threads != first.threads) fail("%d threads on day %d, %d after day 1", last.threads, last.day, first.threads);
  }

  void writeJson(double wall) {
    nlohmann::json table = nlohmann::json::array();
    for (const DayRow& r : rows) {
      table.push_back({{"day", r.day}, {"rss_kb", r.rssKb}, {"rss_peak_kb", r.peakKb}, {"descriptors", r.descriptors},
                       {"threads", r.threads}, {"calls", r.calls}, {"frames_sent", r.framesSent},
                       {"frames_received", r.framesReceived}});
    }
    nlohmann::json report = {{"days", o.days}, {"frames_per_call", o.frames}, {"subscriber_lines", o.subscribers},
                             {"wall_seconds", wall}, {"clock_steps", steps}, {"steps_without_keep_alive", stepsWithoutKeepAlive}, {"log_lines", counts.lines},
                             {"rotations", rotations}, {"lost_servers", counts.lost},
                             {"broker_restarts", brokerStarts}, {"table", table}, {"failures", failures}};
    std::ofstream(o.jsonPath) << report.dump(2) << "\n";
  }

  const Options& o;
  const std::string dir;
  Peers peers;
  SharedAdvance advance;
  Sender stranger, neighbour;
  LogCounts counts;
  LogFollower follower;
  std::mt19937 random;
  std::unique_ptr<Child> zelk;
  std::unique_ptr<Rig> rig;
  Clock::time_point t0, started;
  Clock::duration stepping{};  // wall time spent in steps
  uint32_t group = kTalkGroup;
  int rotations = 0, unanswered = 0;
  size_t steps = 0, stepsWithoutKeepAlive = 0, lossesMade = 0, reconnectsOrdered = 0, groupChanges = 0, brokerStarts = 0;
  size_t connectionsAtStart = 0, malformedSent = 0;
  long restKb = -1, peakKb = 0;  // resident memory after today's calls so far
  size_t callsToday = 0, sentToday = 0, receivedToday = 0, sentTotal = 0, receivedTotal = 0;
  std::vector<DayRow> rows;
  std::vector<std::string> failures;
};

int readOptions(int argc, char** argv, Options& o) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string here = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  o.zelk = here.substr(0, here.rfind('/') + 1) + "zelk";
  o.clock = ZELK_SOAK_CLOCK;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--days") o.days = std::max(1, atoi(next()));
    else if (a == "--frames") o.frames = std::max(1, atoi(next()));
    else if (a == "--subscribers") o.subscribers = std::max(1, atoi(next()));
    else if (a == "--zelk") o.zelk = next();
    else if (a == "--clock") o.clock = next();
    else if (a == "--json") o.jsonPath = next();
    else if (a == "--keep") o.keep = true;
    else {
      fprintf(stderr, "usage: zelk_soak_bench [--days N] [--frames N] [--subscribers N] [--zelk PATH] "
                      "[--clock PATH] [--json PATH] [--keep]\n");
      return 2;
    }
  }
  if (access(o.zelk.c_str(), X_OK) != 0 || access(o.clock.c_str(), R_OK) != 0) {
    fprintf(stderr, "no zelk binary at %s or no clock library at %s (use --zelk, --clock)\n", o.zelk.c_str(),
            o.clock.c_str());
    return 1;
  }
  return 0;
}

void removeScratch(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') unlink((dir + "/" + entry->d_name).c_str());
  }
  closedir(d);
  rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  if (int status = readOptions(argc, argv, o)) return status;
  char pattern[] = "/tmp/zelk-soak-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  int status;
  {
    Soak soak(o, dir);
    status = soak.run();
  }
  if (o.keep || status != 0) {
    printf("output kept in %s\n", dir.c_str());
  } else {
    removeScratch(dir);
  }
  return status;
}
