// SPDX-License-Identifier: GPL-2.0-or-later
// The rig of the benchmarks that run the real zelk binary for a while: child
// processes with their output in a file (the daemon, the MQTT broker), free
// loopback ports, and the calls of both directions at once, paced at 60 ms a
// frame, between the Rewind simulator and the partner socket of this process,
// every frame numbered so that the far side can tell what was lost or reordered.
// A Rig belongs to the thread that runs its calls; the partner's receive thread
// and a call's second thread only note arrivals, under the record's lock.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/free_port.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace stress_bench {

using Clock = std::chrono::steady_clock;

int64_t nanos(Clock::time_point t);
void sleepUntil(Clock::time_point t);

// A child process with its output in a file (appended); killed on destruction.
// It starts at normal priority, whatever the rig runs at.
class Child {
 public:
  Child(const std::vector<std::string>& command, const std::string& outFile, const std::vector<std::string>& extraEnv);
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool ok() const { return pid > 0; }
  pid_t id() const { return pid; }
  bool running() const;
  void signal(int number) const;
  void stop();
  // Sends SIGTERM and waits up to timeoutMs for the end: the exit status, or -1
  // (then the child is killed).
  int terminate(int timeoutMs);

 private:
  pid_t pid = -1;
};

bool acceptsConnections(int port);

// The mosquitto broker on a fixed loopback port; its log goes to mosquitto.out.
class Broker {
 public:
  Broker(const std::string& dir, int port);
  // Starts it and waits until it accepts connections (at most 5 s).
  bool start();
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
  void noteSent(uint32_t sequence, int64_t at);
  void noteArrived(uint32_t sequence, int64_t at);
  void clear();
  Figures figures();
};

struct Event {
  const char* name;
  std::function<void()> start, stop;
  // Runs at the start of each call (before its first frame) and in its middle.
  std::function<void()> beforeCall, midCall;
};

// The calls of one event: how many, how long, who calls whom, and the pauses.
struct CallPlan {
  int calls = 3;
  int frames = 100;  // voice frames per call
  uint32_t caller = 0;
  uint32_t talkGroup = 0;
  int pauseMs = 200;   // after each network call
  int settleMs = 300;  // after the last call, for the frames in flight
};

class Rig {
 public:
  static constexpr int kFrameMs = 60;

  Rig(const CallPlan& plan, RewindSimulator& sim, PartnerLink& partner);

  // One event: the calls of both directions side by side; the figures of the
  // partner's calls (to the network), then of the network's.
  std::pair<Figures, Figures> run(const Event& event);

 private:
  void partnerCall(const Event& event);
  void networkCall();

  CallPlan plan;
  RewindSimulator& sim;
  PartnerLink& partner;
  Record outbound, inbound;
  uint32_t sequenceOut = 1, sequenceIn = 1;
  std::atomic<uint32_t> beginSequence{0};
};

// A simulator, a partner socket and a broker for one zelk: the ports the daemon
// is to listen on and the broker's are chosen here.
struct Peers {
  RewindSimulator sim;
  PartnerLink partner;
  const int daemonPort = testing_support::freeUdpPort();
  const int brokerPort = testing_support::freeTcpPort();
  const int statusPort = testing_support::freeTcpPort();
  Broker broker;

  Peers(const std::string& dir, const std::string& password) : broker(dir, brokerPort) { sim.setPassword(password); }
  bool start() { return sim.start("127.0.0.1", 0) && partner.open(0, "127.0.0.1", daemonPort) && broker.start(); }
};

// True once zelk is logged in to the simulator and subscribed to the group (at
// most 10 s).
bool waitForLogin(const RewindSimulator& sim, const Child& zelk, uint32_t talkGroup);

}  // namespace stress_bench
