// SPDX-License-Identifier: GPL-2.0-or-later
// Partner datagrams: each record of the input is one datagram, sent from the
// partner's address to the bridge's local port. The real receiver thread checks it
// (exactly one TLV message, read into its 352-byte buffer) and queues it; every
// queued message then goes through the dispatcher's handling of its tag: local
// calls, talker alias metadata, remote commands.
#include "fuzz/fuzz_bridge.h"
#include "fuzz/fuzz_support.h"

namespace {
constexpr size_t kMaxDatagramSize = 400;  // past the receiver's buffer, so the cut is fuzzed too
constexpr size_t kMaxDatagrams = 64;
}  // namespace

namespace fuzzing {

int partnerDatagrams(const uint8_t* data, size_t size) {
  FuzzBridge& bridge = FuzzBridge::get();
  bridge.resetCallState();
  return bridge.receiveAndDispatch(splitRecords(data, size, kMaxDatagramSize, kMaxDatagrams)) ? 0 : 1;
}

}  // namespace fuzzing
