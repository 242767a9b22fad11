// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_lines.h"
#include "common/process.h"
#include "telemetry/log_class.h"
#include <ini.h>

namespace {

// Collects the lines the logger emits while the fixture lives.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSettings(&settings);
    logInstance.setLogLevel(2);
    testing_support::collectLogLines(&lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    freeSettings(&settings);
  }

  Settings_t settings{};
  std::vector<std::string> lines;
};

TEST_F(SettingsTest, MatchesSectionAndKeyInAnyLetterCase) {
  EXPECT_EQ(handler(&settings, "zelk", "bmport", "1234"), 1);
  EXPECT_STREQ(settings.bmPort, "1234");
  EXPECT_EQ(handler(&settings, "ZeLk", "SUBSCRIBERFILE", "ids.csv"), 1);
  EXPECT_STREQ(settings.subscriberFile, "ids.csv");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "DMR, Setting [zelk] bmport -> 1234\n");
}

TEST_F(SettingsTest, NumbersConvertLikeAtoi) {
  handler(&settings, "ZELK", "StartTG", "  -12abc");
  EXPECT_EQ(settings.startTG, static_cast<uint32_t>(-12));
  handler(&settings, "ZELK", "UserID", "abc");
  EXPECT_EQ(settings.userID, 0u);
  handler(&settings, "ZELK", "RXPort", "+36010 ; port");
  EXPECT_EQ(settings.rxPort, 36010u);
  // Beyond the range of int: the nearest end of it, never undefined.
  handler(&settings, "ZELK", "UserID", "2147483647");
  EXPECT_EQ(settings.userID, 2147483647u);
  handler(&settings, "ZELK", "UserID", "99999999999999999999999");
  EXPECT_EQ(settings.userID, 2147483647u);
  handler(&settings, "ZELK", "StartTG", "-2147483649");
  EXPECT_EQ(settings.startTG, static_cast<uint32_t>(INT32_MIN));
}

TEST_F(SettingsTest, LaterValueWinsAndUnknownPairsAreIgnored) {
  handler(&settings, "ZELK", "BMPassword", "first");
  handler(&settings, "ZELK", "BMPassword", "second");
  EXPECT_STREQ(settings.bmPassword, "second");
  EXPECT_EQ(handler(&settings, "Other", "BMPassword", "third"), 1);
  EXPECT_EQ(handler(&settings, "ZELK", "NoSuchKey", "x"), 1);
  EXPECT_STREQ(settings.bmPassword, "second");
  EXPECT_EQ(lines.size(), 2u);  // the ignored pairs log nothing
  EXPECT_EQ(lines[1], "DMR, Setting [ZELK] BMPassword -> ********\n");  // the key shows, the password not
}

TEST_F(SettingsTest, DefaultsPointAtTheLoopbackSimulator) {
  EXPECT_STREQ(settings.bmAddress, "127.0.0.1");
  EXPECT_STREQ(settings.bmPort, "54006");
  EXPECT_STREQ(settings.bmPassword, "mirab4le");
  EXPECT_EQ(settings.txPort, 36000u);
  EXPECT_EQ(settings.rxPort, 36003u);
  EXPECT_EQ(settings.brokerAddress, nullptr);
  EXPECT_EQ(settings.brokerPort, 1883u);
  EXPECT_STREQ(settings.brokerClient, "trelvane");
  EXPECT_STREQ(settings.brokerTopic, "trelvane/ZELK");
  EXPECT_EQ(settings.startTG, 91u);
  EXPECT_EQ(settings.logLevel, 3u);
  EXPECT_EQ(settings.subscriberFile, nullptr);
}

// A named instance shows its name and takes a broker session of its own,
// unless the file says otherwise; without a name nothing changes.
TEST_F(SettingsTest, InstanceNameDefaultsToTheUnitsAndGivesTheBrokerClientItsOwn) {
  struct Row {
    const char *name, *instance, *client, *wantName, *wantClient;
  } rows[] = {{nullptr, nullptr, nullptr, nullptr, "trelvane"},     {nullptr, "", nullptr, nullptr, "trelvane"},
              {nullptr, "ts2", nullptr, "ts2", "trelvane-ts2"},     {"", "ts2", nullptr, "ts2", "trelvane-ts2"},
              {"hub", "ts2", nullptr, "hub", "trelvane-hub"},       {"a b/c", nullptr, nullptr, "a b/c", "trelvane-a_b_c"},
              {nullptr, "ts2", "mine", "ts2", "mine"},              {nullptr, "ts2", "trelvane", "ts2", "trelvane"}};
  for (const Row& row : rows) {
    Settings_t s{};
    resetSettings(&s);
    if (row.name != nullptr) handler(&s, "ZELK", "Name", row.name);
    if (row.client != nullptr) handler(&s, "ZELK", "BrokerClient", row.client);
    applyInstanceName(&s, row.instance);
    EXPECT_STREQ(s.name, row.wantName) << (row.instance != nullptr ? row.instance : "(no instance)");
    EXPECT_STREQ(s.brokerClient, row.wantClient);
    freeSettings(&s);
  }
  // Long names that differ only at the end still part within the 23 characters.
  const std::string one = instanceClientId("repeater-north-ts1"), two = instanceClientId("repeater-north-ts2");
  EXPECT_EQ(one.size(), 23u);
  EXPECT_NE(one, two);
}

}  // namespace

namespace {

using testing_support::TempDir;

// The INI library's rules that the configuration relies on.
TEST_F(SettingsTest, IniFileRulesAsTheDaemonReadsThem) {
  TempDir dir;
  dir.write("t.ini",
            "[other]\nBMPort = 1\n"
            "[Zelk]\n"
            "bmport = 1234\n"
            "BMPassword : secret ; not part of it\n"
            "TalkerAlias = a;b\n"
            "BMAddress = first\n"
            "   continued\n");
  EXPECT_EQ(ini_parse(dir.file("t.ini").c_str(), handler, &settings), 0);
  EXPECT_STREQ(settings.bmPort, "1234");
  EXPECT_STREQ(settings.bmPassword, "secret");
  EXPECT_STREQ(settings.talkerAlias, "a;b");  // ';' starts a comment only after white space
  EXPECT_STREQ(settings.bmAddress, "continued");
  EXPECT_EQ(ini_parse(dir.file("missing.ini").c_str(), handler, &settings), -1);
}

}  // namespace
