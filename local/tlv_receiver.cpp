// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's local link receiver (its own thread): reads every datagram from the
// partner, checks that it is exactly one TLV message and queues it for the
// dispatcher. It never interprets tags.
#include <pthread.h>

#include <memory>

#include "app/czelk.h"
#include "local/tlv_class.h"
#include "support/cudp.h"
#include "telemetry/log_class.h"

namespace {
constexpr unsigned int kReceiveBufferSize = 352;
}

int CZELK::_serviceTlvConnection() {
  // The name is longer than Linux keeps (15 characters), so the thread keeps its own.
  pthread_setname_np(pthread_self(), "serviceTlvConnection");
  if (!localLink->isOpen()) return 0;

  unsigned char buffer[kReceiveBufferSize];
  while (!doneFlag) {
    if (!localLink->waitForData(stopPipe.read.get())) continue;
    if (doneFlag) break;
    int received = localLink->readSocket(buffer, sizeof(buffer));
    if (received <= 0) continue;
    // A one-byte datagram has no length byte: it is reported as -1 and always
    // rejected (1 - 2 is -1 too, so the comparison alone would take it, with 255
    // value bytes left over from earlier datagrams).
    int length = received >= 2 ? buffer[1] : -1;
    if (received >= 2 && received - 2 == length) {
      tlvQueue.push(std::make_unique<TLV_CLASS>(buffer[0], static_cast<unsigned char>(length), buffer + 2));
    } else {
      logInstance.log(LOG_WARNING, "TLV length does not match UDP/serial bytes received (got %d and tlv says %d)\n",
                      received, length);
    }
  }
  return 0;
}
