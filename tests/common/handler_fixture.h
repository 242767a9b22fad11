// SPDX-License-Identifier: GPL-2.0-or-later
// For tests that drive the bridge's handlers directly, without threads: a partner
// on loopback that records what reaches it, the log lines of the test (without
// their prefix), a status board with its call events, and helpers that hand one
// TLV message to a dispatcher or one Rewind packet to the network handler.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/log_lines.h"
#include "common/process.h"
#include "local/tlv_class.h"
#include "local/tlv_dispatcher.h"
#include "network/odmr_message.h"
#include "network/rewind_data.h"
#include "support/cudp.h"
#include "telemetry/call_events.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"
#include "tools/partner/partner_link.h"

namespace testing_support {

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemonPort = freeUdpPort();
    ASSERT_TRUE(partner.open(0, "127.0.0.1", daemonPort));
    logInstance.setLogLevel(1);
    testing_support::collectLogLines(&lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    logInstance.setLogLevel(2);
  }

  // The daemon's end of the local link: reads daemonPort, writes to the partner.
  std::unique_ptr<CUDP> openEndpoint() const {
    return std::make_unique<CUDP>("127.0.0.1", daemonPort, partner.port(), 1);
  }

  static void tlv(TlvDispatcher& dispatcher, const Datagram& d) {
    TLV_CLASS message(d[0], d[1], d.data() + 2);
    dispatcher.handle(&message);
  }

  static void rewind(ODMRMessageHandler& handler, uint16_t type, const std::vector<uint8_t>& payload) {
    alignas(RewindData) uint8_t buffer[64] = {};
    writeRewindHeader(buffer, type, 0, 0, static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), buffer + REWIND_HEADER_SIZE);
    handler.process(reinterpret_cast<RewindData*>(buffer), static_cast<int>(REWIND_HEADER_SIZE + payload.size()));
  }

  bool logged(const std::string& text) const { return std::find(lines.begin(), lines.end(), text) != lines.end(); }

  PartnerLink partner;
  int daemonPort = 0;
  StatusBoard board;
  SystemdNotifier notifier;  // never started: silent
  CallEvents events{board, notifier};
  std::vector<std::string> lines;
};

}  // namespace testing_support
