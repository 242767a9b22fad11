// SPDX-License-Identifier: GPL-2.0-or-later
// The local link receiver on a thread of the test, reading a real loopback socket.
#include "local/tlv_receiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "base/queue.h"
#include "base/wake_pipe.h"
#include "common/handler_fixture.h"
#include "local/tlv_class.h"
#include "support/cudp.h"
#include "tools/partner/partner_link.h"

namespace {

using TlvReceiver = testing_support::HandlerTest;

TEST_F(TlvReceiver, QueuesWholeMessagesLogsAndDropsTheRestUntilStopped) {
  std::unique_ptr<CUDP> endpoint = openEndpoint();
  Queue<std::unique_ptr<TLV_CLASS>> queue;
  WakePipe stop;
  std::atomic<bool> done{false};
  std::thread receiver([&] { receiveTlvMessages(*endpoint, queue, stop.readFd(), done, board); });

  ASSERT_TRUE(partner.send({TAG_NOP, 2, 'a', 'b'}));
  ASSERT_TRUE(partner.send({TAG_NOP, 3, 'x'}));  // says 3 value bytes, has 1
  ASSERT_TRUE(partner.send({TAG_NOP}));          // no length byte at all
  ASSERT_TRUE(partner.send({TAG_END_TX, 0}));
  std::vector<std::unique_ptr<TLV_CLASS>> got;
  for (int i = 0; i < 5000 && got.size() < 2; ++i) {
    std::unique_ptr<TLV_CLASS> message;
    if (queue.tryPop(message)) {
      got.push_back(std::move(message));
    } else {
      usleep(1000);
    }
  }
  done = true;
  stop.poke();
  receiver.join();

  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->getTag(), TAG_NOP);
  EXPECT_EQ(got[0]->getLength(), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got[0]->getValue()), 2), "ab");
  EXPECT_EQ(got[1]->getTag(), TAG_END_TX);
  EXPECT_EQ(got[1]->getLength(), 0);
  EXPECT_TRUE(logged("TLV length does not match UDP/serial bytes received (got 3 and tlv says 3)\n"));
  EXPECT_TRUE(logged("TLV length does not match UDP/serial bytes received (got 1 and tlv says -1)\n"));
  std::unique_ptr<TLV_CLASS> left;
  EXPECT_FALSE(queue.tryPop(left));
}

}  // namespace
