// Partner datagrams: each record of the input is one datagram from the partner.
// It passes the receiver's check (exactly one TLV message, as _serviceTlvConnection
// makes it on a buffer of the same size) and, when accepted, the dispatcher's
// handling of its tag: local calls, talker alias metadata, remote commands.
#include "fuzz/fuzz_bridge.h"
#include "fuzz/fuzz_support.h"
#include "local/tlv_class.h"

namespace {
// The receiver's buffer: a longer datagram is cut to it.
constexpr size_t kReceiveBufferSize = 352;
constexpr size_t kMaxDatagrams = 64;
}  // namespace

namespace fuzzing {

int partnerDatagrams(const uint8_t* data, size_t size) {
  FuzzBridge& bridge = FuzzBridge::get();
  bridge.resetCallState();
  for (const Record& record : splitRecords(data, size, kReceiveBufferSize, kMaxDatagrams)) {
    unsigned char buffer[kReceiveBufferSize];
    size_t received = record.size < sizeof(buffer) ? record.size : sizeof(buffer);
    for (size_t i = 0; i < received; ++i) buffer[i] = record.bytes[i];
    if (received == 0) continue;  // the endpoint reports an empty datagram as nothing read
    int length = received >= 2 ? buffer[1] : -1;
    if (static_cast<int>(received) - 2 != length) continue;  // refused with a warning by the receiver
    TLV_CLASS message(buffer[0], static_cast<unsigned char>(length), buffer + 2);
    bridge.handleTlv(&message);
  }
  return 0;
}

}  // namespace fuzzing
