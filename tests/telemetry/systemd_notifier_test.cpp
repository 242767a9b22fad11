// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon under a service manager: the real zelk binary with NOTIFY_SOCKET
// pointing at a datagram socket of the test, between the simulator and a partner.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/process.h"
#include "network/rewind_data.h"
#include "telemetry/systemd_notifier.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace {

using testing_support::binaryPath;
using testing_support::ChildProcess;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 15000;

// What systemd would receive: one text per datagram, with its arrival time. A
// name starting with @ is an abstract socket address, without a terminating NUL.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& socketPath) : path(socketPath) {
    handle = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    socklen_t length = sizeof(address);
    if (path[0] == '@') {
      address.sun_path[0] = '\0';
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    }
    bound = handle >= 0 && bind(handle, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~NotifySocket() {
    if (handle >= 0) close(handle);
    if (path[0] != '@') unlink(path.c_str());
  }
  bool ok() const { return bound; }

  // Receives until a message contains the text; false after the time-out.
  bool waitFor(const std::string& text, int timeoutMs) {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      if (!receive(50)) continue;
      if (messages.back().find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The latest status line sent so far, after reading what is waiting.
  std::string status() {
    while (receive(0)) {
    }
    for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
      size_t at = m->find("STATUS=");
      if (at != std::string::npos) return m->substr(at + 7, m->find('\n', at) - at - 7);
    }
    return "";
  }
  bool waitForStatus(const std::string& text, int timeoutMs) {
    for (int i = 0; i < timeoutMs / 50; ++i) {
      if (status().find(text) != std::string::npos) return true;
      receive(50);
    }
    return false;
  }

  std::vector<std::string> messages;
  std::vector<Clock::time_point> arrivals;

 private:
  bool receive(int timeoutMs) {
    pollfd fd{handle, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = recv(handle, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    messages.emplace_back(buffer, static_cast<size_t>(n));
    arrivals.push_back(Clock::now());
    return true;
  }

  std::string path;
  int handle = -1;
  bool bound = false;
};

class ServiceManager : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.setPassword("s3cret");
    ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
    rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
    ASSERT_TRUE(notify.ok());
  }

  void startDaemon(const std::string& extra = "", const std::string& watchdogUsec = "",
                   const std::string& notifyName = "") {
    dir.write("zelk.ini", "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " + std::to_string(sim.port()) +
                              "\nBMPassword = s3cret\nTXPort = " + std::to_string(partner.port()) +
                              "\nRXPort = " + std::to_string(rxPort) + "\nUserID = 3106001\nStartTG = 91\n" + extra);
    std::vector<std::string> env{"ZELK_LOG=" + dir.path(),
                                 "NOTIFY_SOCKET=" + (notifyName.empty() ? dir.file("notify") : notifyName)};
    if (!watchdogUsec.empty()) env.push_back("WATCHDOG_USEC=" + watchdogUsec);
    zelk = std::make_unique<ChildProcess>(std::vector<std::string>{binaryPath("zelk"), "zelk.ini"}, dir.path(), env);
  }

  std::string endpoint() const { return "127.0.0.1:" + std::to_string(sim.port()); }

  TempDir dir;
  NotifySocket notify{dir.file("notify")};
  RewindSimulator sim;
  PartnerLink partner;
  int rxPort = 0;
  std::unique_ptr<ChildProcess> zelk;
};

TEST_F(ServiceManager, ReadyComesOnceStartedWithoutWaitingForTheServer) {
  sim.setSilent(true);  // the login cannot succeed
  startDaemon();
  ASSERT_TRUE(notify.waitFor("READY=1", kWaitMs)) << zelk->output();
  // Ready while the first login attempt (about 6 s against a silent server) still runs.
  EXPECT_EQ(zelk->output().find("Error logging into BM server"), std::string::npos) << zelk->output();
  EXPECT_FALSE(sim.loggedIn());
  EXPECT_TRUE(notify.waitForStatus("Logging in to " + endpoint(), kWaitMs)) << notify.status();
}

TEST_F(ServiceManager, WatchdogIsPingedAtLeastEveryHalfPeriodWhileTheLineIsSilent) {
  startDaemon("", "2000000");
  ASSERT_TRUE(notify.waitForStatus("Logged in to", kWaitMs)) << zelk->output();
  sim.setAnswerKeepAlives(false);  // from now on nothing arrives: the loop waits its full time
  size_t keepAlives = sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size();
  size_t first = notify.messages.size();
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(notify.waitFor("WATCHDOG=1", 2000)) << "ping " << i;
  Clock::time_point previous = notify.arrivals[first];
  for (size_t i = first; i < notify.messages.size(); ++i) {
    if (notify.messages[i] != "WATCHDOG=1") continue;
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(notify.arrivals[i] - previous).count(), 1000)
        << "ping " << i;
    previous = notify.arrivals[i];
  }
  // The shorter waits leave the keep-alive cadence alone: one per 5 silent seconds.
  EXPECT_LE(sim.packetsOfType(REWIND_TYPE_KEEP_ALIVE).size() - keepAlives, 2u);
}

TEST_F(ServiceManager, StatusTellsLoginGroupLastCallsAndBroker) {
  startDaemon("BrokerAddress = 127.0.0.1\nBrokerPort = " + std::to_string(freeTcpPort()) + "\n");
  ASSERT_TRUE(notify.waitForStatus("Logged in to " + endpoint() + ", TG 91", kWaitMs)) << notify.status();
  EXPECT_NE(notify.status().find("; broker not connected"), std::string::npos) << notify.status();

  SimCall call;
  call.source = 4660;
  call.destination = 91;
  call.bursts = 3;
  call.dmrPace = false;
  ASSERT_TRUE(sim.playCall(call));
  EXPECT_TRUE(notify.waitForStatus("; last call from network: 4660 to TG 91 at 20", kWaitMs)) << notify.status();

  partner.sendCall(2345678, 91, 3, 0, "{\"call\":\"PA0ABC\",\"name\":\"Bob\"}");
  EXPECT_TRUE(notify.waitForStatus("; last call to network: 2345678 PA0ABC to TG 91 at 20", kWaitMs))
      << notify.status();

  partner.send(PartnerLink::remoteCommand("txTg=5"));
  EXPECT_TRUE(notify.waitForStatus("Logged in to " + endpoint() + ", TG 5; last call from network: 4660", kWaitMs))
      << notify.status();
}

TEST_F(ServiceManager, StoppingIsSentOnTerminate) {
  startDaemon();
  ASSERT_TRUE(notify.waitForStatus("Logged in to", kWaitMs)) << zelk->output();
  zelk->sendSignal(SIGTERM);
  EXPECT_TRUE(notify.waitFor("STOPPING=1", kWaitMs));
  EXPECT_EQ(zelk->waitExit(kWaitMs), 0);

  // The same through an abstract socket name, from a named instance, which
  // starts every status line with its name.
  const std::string name = "@zelk-test-notify-" + std::to_string(getpid());
  NotifySocket abstract(name);
  ASSERT_TRUE(abstract.ok());
  startDaemon("Name = ts2\n", "", name);
  EXPECT_TRUE(abstract.waitFor("READY=1\nSTATUS=ts2: ", kWaitMs)) << zelk->output();
  EXPECT_TRUE(abstract.waitForStatus("ts2: Logged in to " + endpoint(), kWaitMs)) << abstract.status();
  zelk->sendSignal(SIGTERM);
  EXPECT_TRUE(abstract.waitFor("STOPPING=1\nSTATUS=ts2: Stopping", kWaitMs));
  EXPECT_EQ(zelk->waitExit(kWaitMs), 0);
}

// What start() takes from the environment: only an address that fits (a path
// with its NUL, an abstract name without), and a watchdog meant for this process.
TEST(SystemdNotifierStart, TakesOnlyUsableAddressesAndItsOwnWatchdog) {
  const std::string fits = "/" + std::string(106, 'p'), tooLong = fits + "p";
  const std::string pid = std::to_string(getpid());
  struct Row {
    const char *socket, *usec, *watchdogPid;
    bool enabled;
    int64_t watchdog;
  } rows[] = {{nullptr, "5000000", nullptr, false, 0},      {"", nullptr, nullptr, false, 0},
              {"run/notify", nullptr, nullptr, false, 0},  {tooLong.c_str(), nullptr, nullptr, false, 0},
              {fits.c_str(), "5000000", nullptr, true, 5000000},
              {"@n", "5000000", pid.c_str(), true, 5000000}, {"@n", "5000000", "1", true, 0},
              {"@n", "0", nullptr, true, 0},               {"@n", "-5", nullptr, true, 0},
              {"@n", "99999999999999999999", nullptr, true, 0}};
  for (const Row& row : rows) {
    const char* values[3] = {row.socket, row.usec, row.watchdogPid};
    const char* names[3] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    std::string shown;
    for (int i = 0; i < 3; ++i) {
      if (values[i] != nullptr) setenv(names[i], values[i], 1);
      if (values[i] == nullptr) unsetenv(names[i]);
      shown += std::string(" ") + names[i] + "=" + (values[i] != nullptr ? values[i] : "(unset)");
    }
    SystemdNotifier notifier;
    notifier.start();
    EXPECT_EQ(notifier.enabled(), row.enabled) << shown;
    EXPECT_EQ(notifier.watchdogMicroseconds(), row.watchdog) << shown;
  }
}

}  // namespace
