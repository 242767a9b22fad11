// SPDX-License-Identifier: GPL-2.0-or-later
// Datagrams from the Rewind server: each record of the input is one datagram, cut
// to the connection service's 64-byte receive buffer, checked for a header and
// the magic as the client's receive does, then handled by processODMRMessage.
// Bit 0 of a record's flags writes the magic over its first bytes, so the fuzzer
// spends its time past the check. Whatever reaches the partner must be one
// whole TLV message of a kind the handler sends.
#include <string.h>

#include "fuzz/fuzz_bridge.h"
#include "fuzz/fuzz_support.h"
#include "local/tlv_class.h"
#include "network/rewind_data.h"

namespace {
constexpr size_t kReceiveBufferSize = 64;
constexpr size_t kMaxDatagrams = 64;

// A begin (source, repeater, destination, slot, colour code), an end, or a voice message.
bool isHandlerMessage(const std::vector<uint8_t>& message) {
  if (message.size() < 2 || message.size() != message[1] + 2u) return false;
  switch (message[0]) {
    case TAG_BEGIN_TX: return message[1] == 12;
    case TAG_END_TX: return message[1] == 1;
    case TAG_AMBE_72: return message[1] == 28;
    default: return false;
  }
}

}  // namespace

namespace fuzzing {

int rewindMessages(const uint8_t* data, size_t size) {
  FuzzBridge& bridge = FuzzBridge::get();
  bridge.resetCallState();
  bridge.drainSinks();
  alignas(RewindData) unsigned char buffer[kReceiveBufferSize];
  for (const Record& record : splitRecords(data, size, 300, kMaxDatagrams)) {
    size_t received = record.size < sizeof(buffer) ? record.size : sizeof(buffer);
    memcpy(buffer, record.bytes, received);
    if ((record.flags & 1) != 0) {
      memcpy(buffer, REWIND_PROTOCOL_SIGN, received < REWIND_SIGN_LENGTH ? received : REWIND_SIGN_LENGTH);
    }
    if (!isRewindPacket(buffer, received)) continue;
    bridge.processODMRMessage(reinterpret_cast<RewindData*>(buffer), static_cast<int>(received));
  }
  int failed = 0;
  for (const std::vector<uint8_t>& message : bridge.sentToPartner()) failed += isHandlerMessage(message) ? 0 : 1;
  return failed;
}

}  // namespace fuzzing
