// SPDX-License-Identifier: GPL-2.0-or-later
// Test helpers around the Rewind client: a foreign UDP sender on loopback, and
// bounded receives of what reaches a client. Every wait has a time limit.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "network/odmrtp_class.h"

namespace testing_support {

// A UDP socket on 127.0.0.1 with a port of its own: any endpoint but the server's.
class ForeignSender {
 public:
  ForeignSender();
  ~ForeignSender();
  ForeignSender(const ForeignSender&) = delete;
  ForeignSender& operator=(const ForeignSender&) = delete;
  bool sendTo(const struct sockaddr_storage& to, socklen_t length, const void* data, size_t size);

 private:
  int handle = -1;
};

// One datagram from a ForeignSender to a client's socket: a client that waits ends
// its wait, ignores the datagram and looks at its clock again.
void nudge(const struct sockaddr_storage& client, socklen_t length);

// One result of ReceiveRewindData and the bytes it left in the buffer.
struct Reception {
  int result = -1;
  std::vector<uint8_t> bytes;
  uint16_t type() const;
  uint16_t flags() const;
  uint32_t sequence() const;
  std::vector<uint8_t> payload() const;
};

// Waits up to timeoutMs for a datagram and receives it into a buffer of bufferSize.
// result -1 when nothing came.
Reception receiveNext(ODMRTP_CLASS& client, int timeoutMs, int bufferSize = 512);

// Receives until nothing arrives for quietMs; returns how many datagrams it took.
int drain(ODMRTP_CLASS& client, int quietMs = 100);

// A well-formed packet as the server would send it.
std::vector<uint8_t> rewindPacket(uint16_t type, uint16_t flags, uint32_t sequence,
                                  const std::vector<uint8_t>& payload);

int openDescriptorCount();

}  // namespace testing_support
