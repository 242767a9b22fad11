// The per-frame cost of the local link: building a voice message and handing
// it through the queue from one thread to itself.
#include <benchmark/benchmark.h>

#include <memory>

#include "local/queue.h"
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
  Queue<TLV_CLASS*> queue;
  unsigned char value[28] = {1};
  for (auto _ : state) {
    queue.push(new TLV_CLASS(TAG_AMBE_72, sizeof(value), value));
    std::unique_ptr<TLV_CLASS> message(queue.pop());
    benchmark::DoNotOptimize(message->getRaw());
  }
}
BENCHMARK(BM_TlvQueuePushPop);

}  // namespace
