// Partner datagrams: each record of the input is one datagram from the partner.
// It passes the receiver's check (exactly one TLV message, as _serviceTlvConnection
// makes it on a buffer of the same size) and, when accepted, the dispatcher's
// handling of its tag: local calls, talker alias metadata, remote commands.
#include <string.h>

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
  // Reused like the receiver's, so bytes of earlier datagrams stay behind.
  static unsigned char buffer[kReceiveBufferSize];
  for (const Record& record : splitRecords(data, size, kReceiveBufferSize, kMaxDatagrams)) {
    int received = static_cast<int>(record.size < sizeof(buffer) ? record.size : sizeof(buffer));
    memcpy(buffer, record.bytes, static_cast<size_t>(received));
    if (received == 0) continue;  // the endpoint reports an empty datagram as nothing read
    int length = received >= 2 ? buffer[1] : -1;
    if (!(received >= 2 && received - 2 == length)) continue;  // refused with a warning by the receiver
    // A message never holds a byte that this datagram did not bring.
    if (2 + length > received) __builtin_trap();
    TLV_CLASS message(buffer[0], static_cast<unsigned char>(length), buffer + 2);
    bridge.handleTlv(&message);
  }
  return 0;
}

}  // namespace fuzzing
