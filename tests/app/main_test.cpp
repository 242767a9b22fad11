// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon as a whole process: command line, configuration file and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "common/process.h"
#include "version.h"

namespace {

using testing_support::binaryPath;
using testing_support::ChildProcess;
using testing_support::countOccurrences;
using testing_support::readFile;
using testing_support::TempDir;

constexpr int kTimeoutMs = 10000;

class DaemonProcess : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> run(std::vector<std::string> args) {
    args.insert(args.begin(), binaryPath("zelk"));
    return std::make_unique<ChildProcess>(args, dir.path(), std::vector<std::string>{"ZELK_LOG=" + dir.path()});
  }
  TempDir dir;
};

TEST_F(DaemonProcess, VersionSwitchFirstPrintsOnlyTheVersion) {
  for (auto args : {std::vector<std::string>{"-v"}, std::vector<std::string>{"-v", "other.ini", "x"}}) {
    auto zelk = run(args);
    EXPECT_EQ(zelk->waitExit(kTimeoutMs), 0);
    EXPECT_EQ(zelk->output(), ZELK_NAME " version " ZELK_VERSION "\n");
  }
}

TEST_F(DaemonProcess, MissingDefaultFileIsFatal) {
  // "-v" in second place is ignored and two arguments mean the default file.
  auto zelk = run({"a.ini", "-v"});
  EXPECT_EQ(zelk->waitExit(kTimeoutMs), 253);
  std::string out = zelk->output();
  EXPECT_NE(out.find("E: "), std::string::npos);
  EXPECT_NE(out.find("DMR, ini file \"Trelvane.ini\" was not found.  Fatal error exiting\n"), std::string::npos);
  EXPECT_EQ(out, readFile(dir.file("ZELK.log")));
}

TEST_F(DaemonProcess, FirstBadLineIsReportedAfterEveryGoodPairWasApplied) {
  dir.write("bad.ini",
            "[ZELK]\n"
            "BMPort = 1\n"
            "; a comment\n"
            "# another\n"
            "UserID: 42 ; inline comment\n"
            "\n"
            "justaword\n"
            "StartTG = 9\n"
            "anotherword\n");
  auto zelk = run({"bad.ini"});
  EXPECT_EQ(zelk->waitExit(kTimeoutMs), 253);
  std::string out = zelk->output();
  EXPECT_NE(out.find("M: "), std::string::npos);
  EXPECT_NE(out.find("DMR, Setting [ZELK] BMPort -> 1\n"), std::string::npos);
  EXPECT_NE(out.find("DMR, Setting [ZELK] UserID -> 42\n"), std::string::npos);
  EXPECT_NE(out.find("DMR, Setting [ZELK] StartTG -> 9\n"), std::string::npos);
  EXPECT_NE(out.find("DMR, parse error in file \"bad.ini\" line 7.  Fatal error exiting\n"), std::string::npos);
  EXPECT_EQ(out.find("is starting"), std::string::npos);
}

TEST_F(DaemonProcess, OverlongConfigurationPathIsRefused) {
  auto zelk = run({std::string(128, 'c')});
  EXPECT_EQ(zelk->waitExit(kTimeoutMs), 253);
  EXPECT_NE(zelk->output().find("E: "), std::string::npos);
  EXPECT_NE(zelk->output().find("is longer than 127 characters.  Fatal error exiting\n"), std::string::npos);
}

TEST_F(DaemonProcess, ConfigurationCheckPrintsMaskedSettingsAndEveryProblem) {
  // Without a file name the check reads the default file, as start-up does.
  dir.write("Trelvane.ini", "[ZELK]\nBMPassword = s3cret\nUserID = 310123401\nBMPort = 62031\n"
                           "StaticTGs = 262, 2\nBMFallback = [::1]:54005, backup.example, 2001:db8::7\n"
                           "Address = ::1\nBMAddress = ::ffff:127.0.0.1\nBrokerAddress = fe80::1%lo\n"
                           "StatusAddress = ::\n");
  auto good = run({"-t"});
  EXPECT_EQ(good->waitExit(kTimeoutMs), 0) << good->errors();
  EXPECT_NE(good->output().find("BMPassword = ********\nAddress = ::1\n"), std::string::npos);
  EXPECT_NE(good->output().find("UserID = 310123401\n"), std::string::npos);
  EXPECT_NE(good->output().find("Configuration \"Trelvane.ini\" is OK\n"), std::string::npos);
  // Keys the file leaves out that came later print nothing: the listing is as it was.
  for (const char* later : {"Name", "StatusHosts", "BrokerDiscovery"}) {
    EXPECT_EQ(good->output().find(std::string("\n") + later + " = "), std::string::npos) << later;
  }

  dir.write("bad.ini",
            "[ZELK]\nBMPassword = s3cret\nRXPort = 70000\nTXPort = 36000 x\nUserID = 20000000\n"
            "BMPort = no-such-service\nsubscriberFile = missing.csv\nLogLevel = 7\nStatusPort = 70000\n"
            "StatusAddress = localhost\nBrokerStatus = 2\nStaticTGs = 91,0\nBMFallback = [::1]:54005, :54006\n"
            "StatusHosts = ok, board:8091\nBrokerDiscovery = homeassistant\n"
            "Address = [::1]\nBrokerAddress = broker.example:1883\nNetworkJitter = 10\n");
  auto bad = run({"-t", "bad.ini"});
  EXPECT_EQ(bad->waitExit(kTimeoutMs), 253);
  std::string errors = bad->errors();
  for (const char* line : {"error: RXPort = 70000: out of range (1 to 65535)\n",
                           "error: TXPort = 36000 x: not a whole number (1 to 65535)\n",
                           "error: UserID = 20000000: out of range (a radio ID from 1 to 16777215 or a nine-digit "
                           "hotspot ID)\n",
                           "error: BMPort = no-such-service: neither a port number nor a known UDP service name\n",
                           "error: subscriberFile = missing.csv: cannot be read: No such file or directory\n",
                           "error: LogLevel = 7: out of range (1 to 6)\n",
                           "error: StatusPort = 70000: out of range (0 to 65535, 0 for none)\n",
                           "error: StatusAddress = localhost: not a numeric IPv4 or IPv6 address\n",
                           "error: Address = [::1]: not an IPv6 address (written without brackets or port)\n",
                           "error: BrokerAddress = broker.example:1883: not an IPv6 address (written without "
                           "brackets or port)\n",
                           "error: BrokerStatus = 2: out of range (0 or 1)\n",
                           "error: StaticTGs = 91,0: entry 2 (\"0\") is not a talk group from 1 to 16777215\n",
                           "error: BMFallback = [::1]:54005, :54006: entry 2 (\":54006\"): no host\n",
                           "error: NetworkJitter = 10: out of range (0 for none, or 20 to 2000 ms)\n",
                           "error: StatusHosts = ok, board:8091: entry 2 (\"board:8091\") is neither a host name "
                           "nor a numeric address (no port, no scheme)\n",
                           "error: BrokerDiscovery = homeassistant: needs BrokerStatus = 1 (its entities read the "
                           "status)\n",
                           "Configuration \"bad.ini\" has 16 problems\n"}) {
    EXPECT_NE(errors.find(line), std::string::npos) << line << errors;
  }
  EXPECT_NE(bad->output().find("RXPort = 70000\n"), std::string::npos);
  // Nothing is logged: no password anywhere, no log file.
  EXPECT_EQ((good->output() + bad->output() + errors).find("s3cret"), std::string::npos);
  EXPECT_NE(access(dir.file("ZELK.log").c_str(), F_OK), 0);
}

TEST_F(DaemonProcess, UserIDBeyondTwentyFourBitsThatIsNoHotspotIDIsFatal) {
  // As are bad talk-group and server lists.
  const std::pair<std::string, std::string> cases[] = {
      {"UserID = 16777216", "DMR, UserID 16777216 is neither a radio ID"},
      {"UserID = 1000000000", "DMR, UserID 1000000000 is neither a radio ID"},
      {"UserID = 99999999", "DMR, UserID 99999999 is neither a radio ID"},
      {"StaticTGs = 91,,2", "DMR, StaticTGs = 91,,2: entry 2 (\"\") is not a talk group from 1 to 16777215."},
      {"BMFallback = [::1:5", "DMR, BMFallback = [::1:5: entry 1 (\"[::1:5\"): no \"]\" after the IPv6 address."},
  };
  for (const auto& c : cases) {
    dir.write("id.ini", "[ZELK]\nBMPort = 9\nRXPort = 0\nTXPort = 9\n" + c.first + "\n");
    auto zelk = run({"id.ini"});
    EXPECT_EQ(zelk->waitExit(kTimeoutMs), 253) << c.first;
    std::string out = zelk->output();
    EXPECT_NE(out.find(std::string("E: ")), std::string::npos);
    EXPECT_NE(out.find(c.second), std::string::npos) << out;
    EXPECT_EQ(out.find("Connecting to"), std::string::npos);
  }
}

TEST_F(DaemonProcess, HangupReopensTheLogAndTerminateEndsWithStatusZero) {
  // Port 9 of the loopback: nothing answers there, so the daemon stays quiet.
  dir.write("Trelvane.ini", "[ZELK]\nLogLevel = 3\nBMPort = 9\nRXPort = 0\nTXPort = 9\n");
  auto zelk = run({});
  ASSERT_TRUE(zelk->waitForOutput("ZELK is starting\n", kTimeoutMs));
  ASSERT_TRUE(zelk->waitForOutput("DMR voice bridge", kTimeoutMs));
  ASSERT_EQ(rename(dir.file("ZELK.log").c_str(), dir.file("ZELK.log.1").c_str()), 0);
  zelk->sendSignal(SIGHUP);
  usleep(300 * 1000);
  EXPECT_TRUE(zelk->running());
  zelk->sendSignal(SIGTERM);
  EXPECT_EQ(zelk->waitExit(kTimeoutMs), 0);
  std::string fresh = readFile(dir.file("ZELK.log"));
  EXPECT_NE(fresh.find("Signal 15 received, exiting ZELK\n"), std::string::npos);
  EXPECT_EQ(fresh.find("is starting"), std::string::npos);
  EXPECT_EQ(countOccurrences(readFile(dir.file("ZELK.log.1")), "ZELK is starting\n"), 1);
}

}  // namespace
