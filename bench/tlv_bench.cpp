// SPDX-License-Identifier: GPL-2.0-or-later
// The per-frame cost of the local link: building a voice message, handing it
// through the queue from one thread to itself, and the wake-up of another thread
// that waits on the queue (what a voice frame pays between the receiver and the
// dispatcher).
#include <benchmark/benchmark.h>

#include <memory>
#include <utility>
#include <thread>

#include "base/queue.h"
#include "local/tlv_class.h"

namespace {

void BM_TlvBuildVoiceMessage(benchmark::State& state) {
  unsigned char value[28] = {1};
  for (auto _ : state) {
    TLV_CLASS message(TAG_AMBE_72, sizeof(value), value);
    benchmark::DoNotOptimize(message.getRaw());
  }
}
BENCHMARK(BM_TlvBuildVoiceMessage);

void BM_TlvQueuePushPop(benchmark::State& state) {
  Queue<std::unique_ptr<TLV_CLASS>> queue;
  unsigned char value[28] = {1};
  for (auto _ : state) {
    queue.push(std::make_unique<TLV_CLASS>(TAG_AMBE_72, sizeof(value), value));
    std::unique_ptr<TLV_CLASS> message = queue.pop();
    benchmark::DoNotOptimize(message->getRaw());
  }
}
BENCHMARK(BM_TlvQueuePushPop);

// One message to a thread blocked in pop and one back: twice the hand-over that
// every partner frame makes from the receiver to the dispatcher, wake-up included.
void BM_TlvQueueHandoffRoundTrip(benchmark::State& state) {
  Queue<std::unique_ptr<TLV_CLASS>> there;
  Queue<std::unique_ptr<TLV_CLASS>> back;
  std::thread echo([&] {
    for (std::unique_ptr<TLV_CLASS> message = there.pop(); message != nullptr; message = there.pop()) {
      back.push(std::move(message));
    }
  });
  unsigned char value[28] = {1};
  for (auto _ : state) {
    there.push(std::make_unique<TLV_CLASS>(TAG_AMBE_72, sizeof(value), value));
    std::unique_ptr<TLV_CLASS> message = back.pop();
    benchmark::DoNotOptimize(message->getRaw());
  }
  there.stop();
  echo.join();
}
BENCHMARK(BM_TlvQueueHandoffRoundTrip)->UseRealTime();

}  // namespace
