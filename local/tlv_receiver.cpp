// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/tlv_receiver.h"

#include <memory>

#include "local/tlv_class.h"
#include "support/cudp.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"

namespace {
constexpr unsigned int kReceiveBufferSize = 352;
}

void receiveTlvMessages(CUDP& link, Queue<std::unique_ptr<TLV_CLASS>>& queue, int stopFd, const std::atomic<bool>& done,
                        StatusBoard& board) {
  if (!link.isOpen()) return;

  unsigned char buffer[kReceiveBufferSize];
  while (!done) {
    if (!link.waitForData(stopFd)) continue;
    if (done) break;
    bool stranger = false;
    int received = link.readSocket(buffer, sizeof(buffer), &stranger);
    if (stranger) board.count(StatusCounter::DroppedStranger);
    if (received <= 0) continue;
    // A one-byte datagram has no length byte: it is reported as -1 and always
    // rejected (1 - 2 is -1 too, so the comparison alone would take it, with 255
    // value bytes left over from earlier datagrams).
    int length = received >= 2 ? buffer[1] : -1;
    if (received >= 2 && received - 2 == length) {
      queue.push(std::make_unique<TLV_CLASS>(buffer[0], static_cast<unsigned char>(length), buffer + 2));
    } else {
      board.count(StatusCounter::DroppedMalformed);
      logInstance.log(LOG_WARNING, "TLV length does not match UDP/serial bytes received (got %d and tlv says %d)\n",
                      received, length);
    }
  }
}
