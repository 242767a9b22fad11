// SPDX-License-Identifier: GPL-2.0-or-later
// The status board's last heard and listener, and the escaping of what it
// shows; the server and the page in a browser are tested end to end.
#include "telemetry/status_board.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "telemetry/status_page.h"

namespace {

TEST(StatusBoard, LastHeardKeepsTheNewestTwentyWithTheCallOnAirFirst) {
  ManualTime time;
  StatusBoard board;
  board.setClock(Clock(&time));
  std::vector<StatusChange> changes;
  // The listener may read the board: it runs outside the board's lock.
  board.setListener([&](StatusChange c, const StatusSnapshot& s, const StatusCall*) {
    changes.push_back(c);
    EXPECT_EQ(board.snapshot().link, s.link);
  });
  board.setLink(StatusLink::LoggingIn, "h", "1", 1);
  board.setLink(StatusLink::LoggedIn, "h", "1");
  board.setTalkGroup(91);
  board.setTalkGroup(91);
  for (uint32_t id = 1; id <= 25; ++id) {
    board.callBegan(StatusWay::ToNetwork, id, 91, false, "C", nullptr);
    for (uint32_t f = 0; f < id; ++f) board.frame(StatusWay::ToNetwork);
    time.advanceMs(1000);
  }
  board.callEnded(StatusWay::ToNetwork, 2500);
  board.callBegan(StatusWay::FromNetwork, 99, 91, true, nullptr, nullptr);
  time.advanceMs(700);
  const StatusSnapshot s = board.snapshot();
  ASSERT_EQ(s.lastHeard.size(), StatusBoard::kLastHeard);
  EXPECT_TRUE(s.lastHeard[0].onAir);
  EXPECT_EQ(s.lastHeard[0].durationMs, 700);
  EXPECT_EQ(s.lastHeard[1].source, 25u);
  EXPECT_EQ(s.lastHeard[1].durationMs, 2500);
  EXPECT_EQ(s.lastHeard[2].durationMs, 1000);  // ended by the next call's start
  EXPECT_EQ(s.lastHeard[2].frames, 24u);
  EXPECT_EQ(s.lastHeard[19].source, 7u);
  EXPECT_EQ(s.counters.callsToNetwork, 25u);
  // Link and server at the first login, link at the second, the group once, then the calls.
  ASSERT_GE(changes.size(), 4u);
  EXPECT_EQ(std::vector<StatusChange>(changes.begin(), changes.begin() + 4),
            (std::vector<StatusChange>{StatusChange::Link, StatusChange::Server, StatusChange::Link,
                                       StatusChange::TalkGroup}));
  EXPECT_EQ(changes.size(), 4u + 25 * 2 + 1);
}

TEST(StatusPage, OutsideTextIsEscapedForHtmlAndJson) {
  StatusSnapshot s;
  StatusCall c;
  c.callsign = "<script>alert(1)</script>";
  c.name = "O'Neil \"&\" \xff";  // an ISO 8859-1 byte that is no UTF-8
  c.alias = "</td><td>";
  s.lastHeard.push_back(c);
  s.host = "<b>";
  const std::string page = StatusPage::html(s);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("O&#39;Neil &quot;&amp;&quot;"), std::string::npos);
  EXPECT_NE(page.find("&lt;/td&gt;&lt;td&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  const nlohmann::json j = nlohmann::json::parse(StatusPage::json(s), nullptr, false);
  ASSERT_FALSE(j.is_discarded());
  EXPECT_EQ(j["last_heard"][0]["callsign"], c.callsign);
  EXPECT_EQ(j["last_heard"][0]["name"], "O'Neil \"&\" \xef\xbf\xbd");
}

}  // namespace
