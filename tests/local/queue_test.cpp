#include "local/queue.h"

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
  // The consumer has nothing to take yet; give it a moment to block.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(popped.load());

  auto message = std::make_unique<TLV_CLASS>(TAG_NOP, 0, nullptr);
  TLV_CLASS* sent = message.get();
  queue.push(sent);
  consumer.join();
  EXPECT_TRUE(popped.load());
  EXPECT_EQ(received, sent);  // the pointer comes out unchanged
}

TEST(Queue, OnePushersElementsComeOutInOrder) {
  Queue<int> queue;
  const int first = 1;
  queue.push(first);  // by constant reference
  queue.push(2);      // moved
  queue.push(3);
  EXPECT_EQ(queue.pop(), 1);
  EXPECT_EQ(queue.pop(), 2);
  EXPECT_EQ(queue.pop(), 3);
}

TEST(Queue, SeveralProducersKeepEachOnesOrderAndLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  Queue<std::unique_ptr<int>> queue;  // move-only elements use the moving push
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.push(std::make_unique<int>(p * kPerProducer + i));
    });
  }
  std::vector<int> next(kProducers, 0);
  for (int n = 0; n < kProducers * kPerProducer; ++n) {
    std::unique_ptr<int> element = queue.pop();
    ASSERT_NE(element, nullptr);
    int producer = *element / kPerProducer;
    ASSERT_EQ(*element % kPerProducer, next[producer]) << "producer " << producer;
    ++next[producer];
  }
  for (std::thread& t : producers) t.join();
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
}

}  // namespace
