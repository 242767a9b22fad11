// SPDX-License-Identifier: GPL-2.0-or-later
// Which Host headers name this machine, and the operator's list of names.
#include "telemetry/host_check.h"

#include <gtest/gtest.h>

namespace {

TEST(HostCheck, AnswersOnlyThisMachinesNamesInEveryFormAHostHeaderTakes) {
  const std::vector<std::string> listed = {"Board.Example", "192.168.7.7", "fd00::7"};
  const HostCheck loopback("127.0.0.1", "pi.home.lan", listed), every("::", "pi", {});
  struct Row {
    const char* host;
    bool loopback, every;
  } rows[] = {{"127.0.0.1", true, true},       {"127.0.0.1:8091", true, true},   {"[::ffff:127.0.0.1]:80", true, true},
              {"LOCALHOST:8091", true, true},  {"localhost.", true, true},       {"pi.home.lan", true, false},
              {"pi", true, true},              {"pi.local:8091", true, true},    {"board.example.", true, false},
              {"192.168.7.7", true, true},     {"[fd00:0::7]:8091", true, true}, {"10.0.0.9", false, true},
              {"[::1]", false, true},          {"rebound.example", false, false}, {"pi.home.lan.evil", false, false},
              {"", false, false},              {"::1", false, false},           {"[::1", false, false},
              {"pi:80:80", false, false},      {"pi:http", false, false},       {"[127.0.0.1]", false, false},
              {"pi%2elocal", false, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(loopback.allows(row.host), row.loopback) << row.host;
    EXPECT_EQ(every.allows(row.host), row.every) << row.host;
  }
}

TEST(HostCheck, ListTakesNamesAndAddressesButNoPortOrScheme) {
  std::vector<std::string> names;
  std::string why;
  ASSERT_TRUE(HostCheck::parseList(" a.example,b-2 , [::1]\t10.1.2.3,,", &names, &why));
  EXPECT_EQ(names, (std::vector<std::string>{"a.example", "b-2", "::1", "10.1.2.3"}));
  ASSERT_TRUE(HostCheck::parseList(nullptr, &names, &why));
  EXPECT_TRUE(names.empty());
  for (const char* bad : {"ok, board:8091", "http://board", "[10.0.0.1]", "b\xc3\xa4r"}) {
    EXPECT_FALSE(HostCheck::parseList(bad, &names, &why)) << bad;
  }
  EXPECT_EQ(why, "entry 1 (\"b\xc3\xa4r\") is neither a host name nor a numeric address (no port, no scheme)");
}

}  // namespace
