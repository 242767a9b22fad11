// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "local/tlv_class.h"

namespace {

TEST(Queue, PopWaitsForAnotherThreadsPush) {
  Queue<TLV_CLASS*> queue;
  std::atomic<bool> popped{false};
  TLV_CLASS* received = nullptr;
  std::thread consumer([&] {
    received = queue.pop();
    popped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the consumer block
  EXPECT_FALSE(popped.load());
  TLV_CLASS message(TAG_NOP, 0, nullptr);
  TLV_CLASS* const sent = &message;
  queue.push(sent);  // by constant reference
  consumer.join();
  EXPECT_EQ(received, sent);  // the pointer comes out unchanged
}

TEST(Queue, SeveralProducersKeepEachOnesOrderAndLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  Queue<std::unique_ptr<int>> queue;  // move-only elements take the moving push
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.push(std::make_unique<int>(p * kPerProducer + i));
    });
  }
  std::vector<int> next(kProducers, 0);
  for (int n = 0; n < kProducers * kPerProducer; ++n) {
    std::unique_ptr<int> element = queue.pop();
    int producer = *element / kPerProducer;
    ASSERT_EQ(*element % kPerProducer, next[producer]++) << "producer " << producer;
  }
  for (std::thread& t : producers) t.join();
}

TEST(Queue, StopWakesAWaitingPopAndEndsTheQueueAfterWhatCameBefore) {
  Queue<std::unique_ptr<int>> queue;
  std::unique_ptr<int> woken = std::make_unique<int>(0);
  std::thread consumer([&] { woken = queue.pop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the consumer block
  queue.stop();
  consumer.join();
  EXPECT_EQ(woken, nullptr);

  Queue<std::unique_ptr<int>> draining;
  ASSERT_TRUE(draining.push(std::make_unique<int>(7)));
  draining.stop();
  std::unique_ptr<int> late = std::make_unique<int>(8);
  EXPECT_FALSE(draining.push(std::move(late)));
  ASSERT_NE(late, nullptr) << "a refused element stays with the caller";
  std::unique_ptr<int> first = draining.pop();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, 7);
  EXPECT_EQ(draining.pop(), nullptr);
  draining.stop();
  EXPECT_EQ(draining.pop(), nullptr);
}

}  // namespace
