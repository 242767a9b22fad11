// SPDX-License-Identifier: GPL-2.0-or-later
// Per-frame work of the bridge itself: the receiver's check and queueing of a
// partner message, the dispatcher's handling of a voice message, the network
// thread's handling of a Rewind packet (with the send to the partner), and the cost
// of a log line below the threshold and of one that is written out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "app/bridge_components.h"
#include "app/settings.h"
#include "base/queue.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"
#include "support/cudp.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"

namespace {

// Emitted lines go to a scratch directory, never to /var/log, whatever runs first.
struct ScratchLogDirectory {
  std::string dir;
  ScratchLogDirectory() {
    if (getenv("ZELK_LOG") != nullptr) return;
    char pattern[] = "/tmp/zelk-micro-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    setenv("ZELK_LOG", dir.c_str(), 1);
  }
  ~ScratchLogDirectory() {
    if (dir.empty()) return;
    unlink((dir + "/ZELK.log").c_str());
    rmdir(dir.c_str());
  }
} scratchLogDirectory;

// Standard output goes to /dev/null while an emitting benchmark runs.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved = dup(1);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, 1);
      close(null);
    }
  }
  ~QuietStdout() {
    fflush(stdout);
    if (saved >= 0) {
      dup2(saved, 1);
      close(saved);
    }
  }

 private:
  int saved = -1;
};

// A bridge with its components but no threads: the partner is a loopback socket
// of ours that nobody reads (once its buffer is full the kernel drops what comes,
// which a real partner that keeps up never makes it do).
struct BridgeRig {
  Settings_t settings{};
  CUDP partner;
  std::atomic<bool> done{false};
  StatusBoard board;
  SystemdNotifier notifier;
  std::unique_ptr<BridgeComponents> bridge;

  BridgeRig() {
    resetSettings(&settings);
    partner.openSocket("127.0.0.1", 0, 1);
    settings.txPort = static_cast<uint32_t>(partner.getLocalPort());
    settings.rxPort = 0;
    bridge.reset(new BridgeComponents(&settings, done, board, notifier));
  }
  ~BridgeRig() {
    bridge.reset();
    partner.closeSocket();
    freeSettings(&settings);
  }
};

void BM_ReceiverCheckAndQueue(benchmark::State& state) {
  Queue<std::unique_ptr<TLV_CLASS>> queue;
  unsigned char datagram[30] = {TAG_AMBE_72, 28, 1};
  const int received = sizeof(datagram);
  for (auto _ : state) {
    // What the receiver does with each datagram, then the dispatcher's pop and delete.
    int length = received >= 2 ? datagram[1] : -1;
    if (received - 2 == length) {
      queue.push(std::make_unique<TLV_CLASS>(datagram[0], static_cast<unsigned char>(length), datagram + 2));
    }
    std::unique_ptr<TLV_CLASS> message = queue.pop();
    benchmark::DoNotOptimize(message->getRaw());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceiverCheckAndQueue);

// The dispatcher's own work for a voice message; the bridge is not logged in, so
// the client has no server to send to and the send itself is left out (see
// BM_TransmitAudio for it).
void BM_DispatcherVoiceWithoutSend(benchmark::State& state) {
  logInstance.setLogLevel(LOG_INFO);
  BridgeRig rig;
  unsigned char value[28] = {1};
  TLV_CLASS message(TAG_AMBE_72, sizeof(value), value);
  for (auto _ : state) rig.bridge->dispatcher.handle(&message);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispatcherVoiceWithoutSend);

void BM_NetworkVoiceBurstToPartner(benchmark::State& state) {
  logInstance.setLogLevel(LOG_INFO);
  BridgeRig rig;
  alignas(RewindData) uint8_t packet[REWIND_HEADER_SIZE + REWIND_VOICE_BURST_SIZE];
  writeRewindHeader(packet, REWIND_TYPE_DMR_VOICE_FRAME, REWIND_FLAG_REAL_TIME_1, 1, REWIND_VOICE_BURST_SIZE);
  memset(packet + REWIND_HEADER_SIZE, 0x5A, REWIND_VOICE_BURST_SIZE);
  for (auto _ : state) {
    rig.bridge->handler.process(reinterpret_cast<RewindData*>(packet), static_cast<int>(sizeof(packet)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NetworkVoiceBurstToPartner);

void BM_NetworkKeepAlive(benchmark::State& state) {
  logInstance.setLogLevel(LOG_INFO);
  BridgeRig rig;
  alignas(RewindData) uint8_t packet[REWIND_HEADER_SIZE];
  writeRewindHeader(packet, REWIND_TYPE_KEEP_ALIVE, REWIND_FLAG_NONE, 1, 0);
  for (auto _ : state) {
    rig.bridge->handler.process(reinterpret_cast<RewindData*>(packet), static_cast<int>(sizeof(packet)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NetworkKeepAlive);

void BM_LogLineFiltered(benchmark::State& state) {
  logInstance.setLogLevel(LOG_INFO);
  for (auto _ : state) logInstance.log(LOG_DEBUG, "TAG_AMBE_72\n");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineFiltered);

// Formatted, written to standard output (here /dev/null) and to the log file,
// which is flushed after every line.
void BM_LogLineEmitted(benchmark::State& state) {
  logInstance.setLogLevel(LOG_INFO);
  QuietStdout quiet;
  for (auto _ : state) {
    logInstance.log(LOG_INFO, "%s, ODMR Begin Tx: src = %d, dst = %d (%s)\n", "DMR", 2345678, 91, "GROUP");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineEmitted);

}  // namespace
