// SPDX-License-Identifier: GPL-2.0-or-later
// The installed files agree with the daemon: the sample configuration parses as
// shipped, documents every key with the built-in default, and the log rotation
// covers the file that the unit makes the daemon write.
#include <gtest/gtest.h>
#include <ini.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "common/process.h"
#include "telemetry/log_class.h"

namespace {

using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::TempDir;

const std::string kDeploy = std::string(ZELK_SOURCE_DIR) + "/deploy/";

std::string text(const char* value) { return value != nullptr ? value : "(null)"; }

// Every field of the record, in one comparable line.
std::string describe(const Settings_t& s) {
  std::ostringstream out;
  out << text(s.bmAddress) << "|" << text(s.bmPort) << "|" << text(s.bmPassword) << "|" << text(s.address) << "|"
      << s.txPort << "|" << s.rxPort << "|" << text(s.brokerAddress) << "|" << s.brokerPort << "|"
      << text(s.brokerClient) << "|" << text(s.brokerTopic) << "|" << s.userID << "|" << text(s.talkerAlias) << "|"
      << s.startTG << "|" << s.logLevel << "|" << text(s.subscriberFile) << "|" << text(s.statusAddress) << "|"
      << s.statusPort << "|" << s.brokerStatus << "|" << text(s.staticTGs) << "|"
      << text(s.bmFallback) << "|" << text(s.statusHosts) << "|" << text(s.brokerDiscovery) << "|" << text(s.name)
      << "|" << s.networkJitter;
  return out.str();
}

// Fills every field with a value no default has, so a key the file does not set shows.
void fillWithSentinels(Settings_t* s) {
  for (const char* key : {"BMAddress", "BMPort", "BMPassword", "Address", "BrokerAddress", "BrokerClient",
                          "BrokerTopic", "TalkerAlias", "subscriberFile", "StatusAddress", "StaticTGs",
                          "BMFallback", "StatusHosts", "BrokerDiscovery", "Name"}) {
    handler(s, "ZELK", key, "unset");
  }
  for (const char* key : {"TXPort", "RXPort", "BrokerPort", "UserID", "StartTG", "LogLevel", "StatusPort",
                          "BrokerStatus", "NetworkJitter"}) {
    handler(s, "ZELK", key, "424242");
  }
}

class SampleConfiguration : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(0);
    resetSettings(&defaults);
    resetSettings(&parsed);
    // The one key the sample sets: the package serves the status page.
    handler(&defaults, "ZELK", "StatusPort", "8091");
  }
  void TearDown() override {
    freeSettings(&defaults);
    freeSettings(&parsed);
  }
  Settings_t defaults{};
  Settings_t parsed{};
};

TEST_F(SampleConfiguration, ParsesAsShippedToTheBuiltInDefaults) {
  ASSERT_EQ(ini_parse((kDeploy + "Trelvane.ini").c_str(), handler, &parsed), 0);
  EXPECT_EQ(describe(parsed), describe(defaults));
}

// Uncommenting every documented key must set every one, each to its default,
// except the optional ones, which the sample shows switched off (an empty broker
// address, empty lists) or with an example path; the status port stays on as set.
TEST_F(SampleConfiguration, DocumentsEveryKeyWithItsDefault) {
  std::ifstream in(kDeploy + "Trelvane.ini");
  std::string line, uncommented;
  const std::regex key("^;([A-Za-z]+) =( .*)?$");
  int documented = 0;
  while (std::getline(in, line)) {
    if (std::regex_match(line, key)) {
      line.erase(0, 1);
      ++documented;
    }
    uncommented += line + "\n";
  }
  EXPECT_EQ(documented, 24);
  TempDir dir;
  dir.write("Trelvane.ini", uncommented);

  fillWithSentinels(&parsed);
  ASSERT_EQ(ini_parse(dir.file("Trelvane.ini").c_str(), handler, &parsed), 0);
  ASSERT_NE(parsed.brokerAddress, nullptr);
  EXPECT_STREQ(parsed.brokerAddress, "");  // empty: no MQTT, as the default
  ASSERT_NE(parsed.subscriberFile, nullptr);
  EXPECT_STRNE(parsed.subscriberFile, "unset");
  EXPECT_STREQ(parsed.staticTGs, "");
  EXPECT_STREQ(parsed.bmFallback, "");
  handler(&parsed, "ZELK", "BrokerAddress", nullptr);
  handler(&parsed, "ZELK", "subscriberFile", nullptr);
  handler(&parsed, "ZELK", "StaticTGs", nullptr);
  handler(&parsed, "ZELK", "BMFallback", nullptr);
  for (char** field : {&parsed.statusHosts, &parsed.brokerDiscovery, &parsed.name}) EXPECT_STREQ(*field, "");
  for (const char* key : {"StatusHosts", "BrokerDiscovery", "Name"}) handler(&parsed, "ZELK", key, nullptr);
  EXPECT_EQ(describe(parsed), describe(defaults));
}

TEST(DeployFiles, LogRotationCoversTheFileTheUnitWrites) {
  std::string unit = readFile(kDeploy + "zelk.service");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nEnvironment=ZELK_LOG=(\\S+)\n")));
  const std::string logFile = found[1].str() + "/ZELK.log";
  ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nReadWritePaths=(\\S+)\n")));
  EXPECT_EQ(found[1].str() + "/ZELK.log", logFile);
  ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nUser=(\\S+)\n")));
  const std::string user = found[1].str();

  std::string rotation = readFile(kDeploy + "zelk.logrotate");
  EXPECT_NE(rotation.find("\n" + logFile + " {"), std::string::npos) << rotation;
  EXPECT_NE(rotation.find("create 0640 " + user + " adm"), std::string::npos);
  EXPECT_NE(rotation.find("--signal=HUP zelk.service"), std::string::npos);
  // Each templated bridge writes to a directory of its own below the same one.
  const std::string templated = readFile(kDeploy + "zelk@.service");
  ASSERT_TRUE(std::regex_search(templated, found, std::regex("\nEnvironment=ZELK_LOG=(\\S+)/%i\n")));
  EXPECT_NE(rotation.find("\n" + found[1].str() + "/*/ZELK.log {"), std::string::npos) << rotation;
  EXPECT_NE(rotation.find("--signal=HUP 'zelk@*.service'"), std::string::npos);
}

// The settings of a unit in order, without those that name a bridge's own
// files or instance: what the single bridge and each templated one share.
std::vector<std::string> sharedSettings(const std::string& unit) {
  std::vector<std::string> kept;
  std::istringstream lines(unit);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#' || line.rfind("Description=", 0) == 0) continue;
    if (line.find("%i") != std::string::npos || line.find("/etc/zelk/") != std::string::npos ||
        line.find("/var/log/zelk") != std::string::npos) {
      continue;
    }
    kept.push_back(line);
  }
  return kept;
}

TEST(ServiceUnit, SystemdAcceptsBothUnitsAndTheCheckAcceptsTheShippedConfiguration) {
  // The units' commands, pointed at this build.
  const std::string zelk = testing_support::binaryPath("zelk");
  auto pointed = [&zelk](std::string unit) {
    for (size_t at = unit.find("/usr/bin/zelk "); at != std::string::npos; at = unit.find("/usr/bin/zelk ", at)) {
      unit.replace(at, 13, zelk);
    }
    return unit;
  };
  const std::string single = readFile(kDeploy + "zelk.service");
  const std::string templated = readFile(kDeploy + "zelk@.service");
  ASSERT_NE(single.find("\nExecStartPre=/usr/bin/zelk -t /etc/zelk/Trelvane.ini\n"), std::string::npos) << single;
  ASSERT_NE(templated.find("\nExecStartPre=/usr/bin/zelk -t /etc/zelk/%i.ini\n"), std::string::npos) << templated;
  EXPECT_NE(templated.find("\nEnvironment=ZELK_INSTANCE=%i\n"), std::string::npos);
  // Readiness, watchdog, restart policy and sandbox stay the same for every bridge.
  EXPECT_EQ(sharedSettings(templated), sharedSettings(single));
  ChildProcess check({zelk, "-t", kDeploy + "Trelvane.ini"});
  EXPECT_EQ(check.waitExit(10000), 0) << check.errors();

  const char* analyze = "/usr/bin/systemd-analyze";
  if (access(analyze, X_OK) != 0) GTEST_SKIP() << "no systemd-analyze here";
  TempDir dir;
  dir.write("zelk.service", pointed(single));
  dir.write("zelk@.service", pointed(templated));
  // The manual pages are checked where they are installed (the package check).
  for (const char* name : {"zelk.service", "zelk@.service"}) {
    ChildProcess verify({analyze, "verify", "--man=no", dir.file(name)});
    EXPECT_EQ(verify.waitExit(60000), 0) << name << verify.output() << verify.errors();
    EXPECT_EQ(verify.output() + verify.errors(), "") << name;
  }
}

}  // namespace
