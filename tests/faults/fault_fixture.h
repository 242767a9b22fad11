// SPDX-License-Identifier: GPL-2.0-or-later
// The stage of the fault-injection tests: the real zelk binary between our Rewind
// server simulator and a test partner on loopback, with helpers to start it with
// extra settings, to play calls in both directions and to check that every frame
// of a call arrived once and in order, and to read the daemon's resident memory.
// Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/big_endian.h"
#include "base/unique_fd.h"
#include "common/process.h"
#include "common/rewind_test_support.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "tools/partner/partner_link.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace faults {

using testing_support::binaryPath;
using testing_support::ChildProcess;
using testing_support::countOccurrences;
using testing_support::freeUdpPort;
using testing_support::TempDir;

constexpr uint32_t kUserID = 3106001;
constexpr int kWaitMs = 15000;
const std::string kSuccessEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login success\"}";
const std::string kFailureEvent = "{\"topic\":\"trelvane/ZELK/DMR\",\"message\":\"login failure\"}";

inline std::string eventText(const Datagram& d) {
  if (d.size() < 3 || d[0] != TAG_EVENT) return "";
  return std::string(d.begin() + 2, d.end() - 1);
}

inline size_t countEvents(const std::vector<Datagram>& list, const std::string& text) {
  size_t n = 0;
  for (const Datagram& d : list) n += eventText(d) == text ? 1 : 0;
  return n;
}

// Resident memory of a process in kilobytes, -1 when it cannot be read.
inline long residentKb(pid_t pid) {
  FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof(line), status) != nullptr) {
    if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  }
  fclose(status);
  return kb;
}

// The body of GET path from the status server on the loopback port; empty when
// there is no answer within a few seconds.
inline std::string httpGet(int port, const std::string& path) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  struct timeval limit = {5, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0) return "";
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  if (send(fd.get(), request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) return "";
  std::string answer;
  char buffer[4096];
  for (int i = 0; i < 1000; ++i) {
    ssize_t n = recv(fd.get(), buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The numbers of the partner's voice bursts (PartnerLink::voice) that reached the
// server, in arrival order.
inline std::vector<uint32_t> burstNumbersAtServer(const RewindSimulator& sim) {
  std::vector<uint32_t> numbers;
  for (const SimPacket& p : sim.packetsOfType(REWIND_TYPE_DMR_VOICE_FRAME)) {
    numbers.push_back(p.payload.size() == REWIND_VOICE_BURST_SIZE ? readBE32(p.payload.data()) : 0xFFFFFFFFu);
  }
  return numbers;
}

// The numbers of the server's voice bursts (RewindSimulator::burstPayload) that
// reached the partner, in arrival order.
inline std::vector<int> burstNumbersAtPartner(const std::vector<Datagram>& received) {
  std::vector<int> numbers;
  for (const Datagram& d : received) {
    if (d.size() != 30 || d[0] != TAG_AMBE_72) continue;
    int index = (d[3] << 8) | d[4];
    uint8_t expected[27];
    RewindSimulator::burstPayload(index, expected);
    numbers.push_back(memcmp(expected, d.data() + 3, 27) == 0 ? index : -1);
  }
  return numbers;
}

// first, first + 1, ..., first + count - 1.
template <typename T>
std::vector<T> countingFrom(T first, size_t count) {
  std::vector<T> numbers;
  for (size_t i = 0; i < count; ++i) numbers.push_back(first + static_cast<T>(i));
  return numbers;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.setPassword("s3cret");
    ASSERT_TRUE(sim.start("127.0.0.1", 0)) << sim.error();
    rxPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", rxPort));
  }

  std::string settings(const std::string& extra) const {
    return "[ZELK]\nBMAddress = 127.0.0.1\nBMPort = " + std::to_string(serverPort != 0 ? serverPort : sim.port()) +
           "\nBMPassword = s3cret\nAddress = 127.0.0.1\nTXPort = " + std::to_string(partner.port()) +
           "\nRXPort = " + std::to_string(rxPort) + "\nUserID = " + std::to_string(kUserID) +
           "\nStartTG = 91\nLogLevel = 2\n" + extra;
  }

  // Starts zelk with the settings in workDir (the scratch directory when empty),
  // logging into logDir (likewise).
  void startDaemon(const std::string& extra = "", const std::string& workDir = "", const std::string& logDir = "") {
    std::string cwd = workDir.empty() ? dir.path() : workDir;
    FILE* ini = fopen((cwd + "/zelk.ini").c_str(), "w");
    ASSERT_NE(ini, nullptr);
    fputs(settings(extra).c_str(), ini);
    fclose(ini);
    std::vector<std::string> env = daemonEnv;
    env.push_back("ZELK_LOG=" + (logDir.empty() ? dir.path() : logDir));
    zelk = std::make_unique<ChildProcess>(std::vector<std::string>{binaryPath("zelk"), "zelk.ini"}, cwd, env);
  }

  void startAndLogIn(const std::string& extra = "", const std::string& workDir = "", const std::string& logDir = "") {
    startDaemon(extra, workDir, logDir);
    ASSERT_TRUE(partner.waitUntil([](const std::vector<Datagram>& l) { return countEvents(l, kSuccessEvent) >= 1; },
                                  kWaitMs))
        << zelk->output();
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_SUBSCRIPTION, 1, kWaitMs));
    // The login's own subscription may come first: wait for the start group's.
    for (int i = 0; i < 100 && sim.subscribedTalkGroup() != 91u; ++i) usleep(50 * 1000);
  }

  // A local call of `voices` bursts numbered from firstSequence, sent at once; waits
  // until its terminator reached the server and checks that every burst arrived
  // once and in order.
  void localCallArrivesWhole(int voices, uint32_t firstSequence = 0) {
    sim.clearPackets();
    partner.sendCall(2345678, 91, voices, 0, "", firstSequence);
    ASSERT_TRUE(sim.waitForPacket(REWIND_TYPE_DMR_DATA_BASE + 2, 1, kWaitMs)) << zelk->output();
    EXPECT_EQ(burstNumbersAtServer(sim), countingFrom<uint32_t>(firstSequence, static_cast<size_t>(voices)));
  }

  // A network call of `bursts` bursts played at full speed; waits for its end at the
  // partner and checks that every burst arrived once and in order.
  void networkCallArrivesWhole(int bursts) {
    partner.clear();
    SimCall call;
    call.bursts = bursts;
    call.dmrPace = false;
    ASSERT_TRUE(sim.playCall(call));
    ASSERT_TRUE(partner.waitForCount(TAG_END_TX, 1, kWaitMs)) << zelk->output();
    EXPECT_EQ(burstNumbersAtPartner(partner.received()), countingFrom<int>(0, static_cast<size_t>(bursts)));
  }

  // Gives the daemon a wall clock that steps ("second:offset,...", see
  // tests/common/stepped_clock.c); set before startDaemon.
  void stepWallClock(const std::string& steps) {
    for (const std::string& entry : testing_support::preloadedClockEnv()) daemonEnv.push_back(entry);
    daemonEnv.push_back("ZELK_CLOCK_STEPS=" + steps);
  }

  // Lets the test move the daemon's monotonic clock (daemonClock); set before
  // startDaemon.
  void driveClock() {
    for (const std::string& entry : daemonClock.env()) daemonEnv.push_back(entry);
  }

  // Moves the daemon's clock on and makes it look at it at once: a stranger's
  // datagram to its Rewind socket (the one `server` sees) ends its wait.
  void advanceClock(int64_t milliseconds, const RewindSimulator& server) {
    daemonClock.advance(milliseconds);
    struct sockaddr_storage client;
    socklen_t length = 0;
    if (server.clientEndpoint(&client, &length)) testing_support::nudge(client, length);
  }

  // Lets the daemon's time pass at once while it stays logged in to `sim`: in steps
  // of at most 10 s, each ending a quiet period, so the daemon sends a keep-alive,
  // and the next step waits until it has read the answer (a step past the last
  // answer by more than 30 s would be a lost server). The daemon's other waits
  // (the broker client's) notice each step within a second.
  void letTimePass(int64_t milliseconds) {
    for (; milliseconds > 0; milliseconds -= 10000) {
      int answers = countOccurrences(zelk->output(), "REWIND_TYPE_KEEP_ALIVE\n");
      advanceClock(milliseconds < 10000 ? milliseconds : 10000, sim);
      for (int i = 0; i < 100 && countOccurrences(zelk->output(), "REWIND_TYPE_KEEP_ALIVE\n") <= answers; ++i) {
        usleep(20 * 1000);
      }
    }
  }

  // Seconds of the daemon's clock since `start`, a time of the test's clock taken
  // before any advance.
  long long daemonSecondsSince(std::chrono::steady_clock::time_point start) const {
    auto real = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return (real.count() + daemonClock.advanced()) / 1000;
  }

  TempDir dir;
  RewindSimulator sim;
  PartnerLink partner;
  int rxPort = 0;
  int serverPort = 0;  // where the daemon's BMPort points (a relay's); 0: the simulator
  std::unique_ptr<ChildProcess> zelk;
  std::vector<std::string> daemonEnv;  // extra "NAME=value" entries for the daemon
  testing_support::DrivenClock daemonClock;
};

}  // namespace faults
