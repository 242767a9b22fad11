// SPDX-License-Identifier: GPL-2.0-or-later
// The dispatcher driven directly, message by message, without threads and with a
// network side that only records what it is asked to do: the actions each kind of
// partner message leads to, and the lines of the messages that only get logged.
#include "local/tlv_dispatcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/big_endian.h"
#include "common/handler_fixture.h"
#include "local/tlv_class.h"
#include "support/cudp.h"
#include "tools/partner/partner_link.h"

namespace {

using Actions = std::vector<std::string>;

// Each callback adds one line to the list; a reconnect fails.
DispatcherNetwork recordingNetwork(Actions* actions) {
  auto add = [actions](std::string action) { actions->push_back(std::move(action)); };
  DispatcherNetwork network;
  network.beginTransmission = [add](int source, int destination, int callType) {
    add("begin " + std::to_string(source) + ">" + std::to_string(destination) + " type " + std::to_string(callType));
  };
  network.transmitAudio = [add](unsigned char* frames) { add("burst " + std::to_string(readBE32(frames))); };
  network.endTransmission = [add] { add("end"); };
  network.subscribe = [add](uint32_t talkGroup) { add("subscribe " + std::to_string(talkGroup)); };
  network.reconnect = [add](const char* host, const char* port, const char* password, unsigned int talkGroup) {
    add(std::string("reconnect ") + password + "@" + host + ":" + port + "!" + std::to_string(talkGroup));
    return -1;
  };
  network.encodeCallAlias = [add](const std::string& callsign, const std::string* name) {
    add("call alias " + callsign + (name != nullptr ? " name " + *name : ""));
  };
  network.encodeAlias = [add](const char* text) { add(std::string("alias ") + text); };
  network.sendAlias = [add] { add("send alias"); };
  return network;
}

class BridgeHandlers : public testing_support::HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    if (HasFatalFailure()) return;
    endpoint = openEndpoint();
    dispatcher = std::make_unique<TlvDispatcher>(*endpoint, recordingNetwork(&actions), events);
  }

  void tlv(const Datagram& d) { HandlerTest::tlv(*dispatcher, d); }

  Actions actions;
  std::unique_ptr<CUDP> endpoint;
  std::unique_ptr<TlvDispatcher> dispatcher;
};

TEST_F(BridgeHandlers, PartnerMessagesTooShortForTheirFieldsAreDropped) {
  tlv({TAG_BEGIN_TX, 11, 0, 0, 1, 0, 0, 0, 0, 0, 0, 91, 1});
  tlv({TAG_SET_INFO, 0});
  tlv({TAG_AMBE_72, 2, 1, 2});
  EXPECT_TRUE(actions.empty());
  EXPECT_TRUE(logged("DMR, TLV tag 0 with 11 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 8 with 0 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 7 with 2 value bytes is too short, dropped\n"));
}

TEST_F(BridgeHandlers, OtherTagsAreLoggedOrRefused) {
  tlv({1, 0});
  tlv({200, 2, 9, 9});
  tlv({TAG_IMBE, 0});
  tlv({TAG_NOP, 0});
  Datagram info = PartnerLink::beginTx(7, 91, "hi", 0xFFFFFFFF);
  info[0] = TAG_SET_INFO;
  tlv(info);
  EXPECT_TRUE(actions.empty());
  EXPECT_TRUE(logged("tlv tag=1 len=0\n"));
  EXPECT_TRUE(logged("tlv tag=c8 len=2\n"));
  EXPECT_TRUE(logged("DMR, got DSAMBE/IMBE/AMBE49 (TAG=TAG_IMBE)and expected AMBE (change to 72 bits)\n"));
  EXPECT_TRUE(logged("TAG_NOP\n"));
  EXPECT_TRUE(logged("DMR, TAG_SET_INFO: src=7 rpt=-1 dst=91 slot=1 cc=1 metadata=hi\n"));
}

TEST_F(BridgeHandlers, LocalCallSendsItsAliasAfterTheThirtySecondBurst) {
  tlv(PartnerLink::beginTx(7, 91, "{\"call\":\"AB1CD\",\"name\":\"Ann\"}"));
  for (uint32_t i = 0; i < 33; ++i) tlv(PartnerLink::voice(i));
  tlv(PartnerLink::endTx());
  tlv(PartnerLink::beginTx(7, 92, "AB1CD"));  // plain metadata is the callsign alone
  Actions expected{"call alias AB1CD name Ann", "begin 7>91 type 0"};
  for (uint32_t i = 0; i < 33; ++i) {
    expected.push_back("burst " + std::to_string(i));
    if (i == 31) expected.push_back("send alias");
  }
  expected.insert(expected.end(), {"end", "call alias AB1CD", "begin 7>92 type 0"});
  EXPECT_EQ(actions, expected);
}

TEST_F(BridgeHandlers, CommandsAreReadUpToTheirLengthAndBadReconnectsIgnored) {
  tlv(PartnerLink::remoteCommand("setTA=ABC", false));
  tlv(PartnerLink::beginTx(7, 91, ""));
  tlv(PartnerLink::remoteCommand("txTg=91#"));
  tlv(PartnerLink::beginTx(7, 91, ""));
  tlv(PartnerLink::remoteCommand("txTg=disconnect"));
  tlv(PartnerLink::remoteCommand("txTg=secret@host-only"));
  tlv(PartnerLink::remoteCommand("txTg=pw@host:62031!93"));
  tlv(PartnerLink::remoteCommand("hello"));
  EXPECT_EQ(actions, (Actions{"alias ABC", "begin 7>91 type 0", "subscribe 91", "begin 7>91 type 3", "subscribe 4000",
                              "reconnect pw@host:62031!93"}));
  EXPECT_TRUE(logged("DMR, Remote CMD: txTg=********@host-only\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: reconnect needs password@host:port!tg, ignored\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: hello\n"));
}

}  // namespace
