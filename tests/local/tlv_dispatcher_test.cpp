// SPDX-License-Identifier: GPL-2.0-or-later
// The dispatcher driven directly, message by message, without threads and with a
// network side that does nothing: what is logged for each kind of partner message.
#include "local/tlv_dispatcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/handler_fixture.h"
#include "local/tlv_class.h"
#include "support/cudp.h"
#include "tools/partner/partner_link.h"

namespace {

DispatcherNetwork idleNetwork() {
  DispatcherNetwork network;
  network.beginTransmission = [](int, int, int) {};
  network.transmitAudio = [](unsigned char*) {};
  network.endTransmission = [] {};
  network.subscribe = [](uint32_t) {};
  network.reconnect = [](const char*, const char*, const char*, unsigned int) { return -1; };
  network.encodeCallAlias = [](const std::string&, const std::string*) {};
  network.encodeAlias = [](const char*) {};
  network.sendAlias = [] {};
  return network;
}

class BridgeHandlers : public testing_support::HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    if (HasFatalFailure()) return;
    endpoint = openEndpoint();
    dispatcher = std::make_unique<TlvDispatcher>(*endpoint, idleNetwork());
  }

  void tlv(const Datagram& d) { HandlerTest::tlv(*dispatcher, d); }

  std::unique_ptr<CUDP> endpoint;
  std::unique_ptr<TlvDispatcher> dispatcher;
};

TEST_F(BridgeHandlers, PartnerMessagesTooShortForTheirFieldsAreDropped) {
  tlv({TAG_BEGIN_TX, 11, 0, 0, 1, 0, 0, 0, 0, 0, 0, 91, 1});
  tlv({TAG_SET_INFO, 0});
  tlv({TAG_AMBE_72, 2, 1, 2});
  EXPECT_TRUE(logged("DMR, TLV tag 0 with 11 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 8 with 0 value bytes is too short, dropped\n"));
  EXPECT_TRUE(logged("DMR, TLV tag 7 with 2 value bytes is too short, dropped\n"));
  EXPECT_FALSE(logged("TAG_AMBE_72\n"));
}

TEST_F(BridgeHandlers, OtherTagsAreLoggedOrRefused) {
  tlv({1, 0});
  tlv({200, 2, 9, 9});
  tlv({TAG_IMBE, 0});
  tlv({TAG_NOP, 0});
  Datagram info = PartnerLink::beginTx(7, 91, "hi", 0xFFFFFFFF);
  info[0] = TAG_SET_INFO;
  tlv(info);
  EXPECT_TRUE(logged("tlv tag=1 len=0\n"));
  EXPECT_TRUE(logged("tlv tag=c8 len=2\n"));
  EXPECT_TRUE(logged("DMR, got DSAMBE/IMBE/AMBE49 (TAG=TAG_IMBE)and expected AMBE (change to 72 bits)\n"));
  EXPECT_TRUE(logged("TAG_NOP\n"));
  EXPECT_TRUE(logged("DMR, TAG_SET_INFO: src=7 rpt=-1 dst=91 slot=1 cc=1 metadata=hi\n"));
}

TEST_F(BridgeHandlers, CommandsAreReadUpToTheirLengthAndBadReconnectsIgnored) {
  tlv(PartnerLink::remoteCommand("setTA=ABC", false));
  tlv(PartnerLink::beginTx(7, 91, ""));
  EXPECT_TRUE(logged("DMR, Remote CMD: setTA=ABC\n"));
  EXPECT_TRUE(logged("DMR, Begin TX: src=7 rpt=0 dst=91 slot=1 cc=1 metadata=\n"));
  tlv(PartnerLink::remoteCommand("txTg=secret@host-only"));
  EXPECT_TRUE(logged("DMR, Remote CMD: txTg=********@host-only\n"));
  EXPECT_TRUE(logged("DMR, Remote CMD: reconnect needs password@host:port!tg, ignored\n"));
  tlv(PartnerLink::remoteCommand("hello"));
  EXPECT_TRUE(logged("DMR, Remote CMD: hello\n"));
}

}  // namespace
