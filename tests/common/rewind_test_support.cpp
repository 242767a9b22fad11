// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/rewind_test_support.h"

#include <dirent.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace testing_support {

ForeignSender::ForeignSender() {
  handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (handle >= 0) bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof(local));
}

ForeignSender::~ForeignSender() {
  if (handle >= 0) close(handle);
}

bool ForeignSender::sendTo(const struct sockaddr_storage& to, socklen_t length, const void* data, size_t size) {
  return sendto(handle, data, size, 0, reinterpret_cast<const sockaddr*>(&to), length) == static_cast<ssize_t>(size);
}

void nudge(const struct sockaddr_storage& client, socklen_t length) {
  ForeignSender stranger;
  const uint8_t byte = 0;
  stranger.sendTo(client, length, &byte, sizeof(byte));
}

uint16_t Reception::type() const { return bytes.size() >= 18 ? readLE16(bytes.data() + 8) : 0xFFFF; }
uint16_t Reception::flags() const { return bytes.size() >= 18 ? readLE16(bytes.data() + 10) : 0xFFFF; }
uint32_t Reception::sequence() const { return bytes.size() >= 18 ? readLE32(bytes.data() + 12) : 0; }
std::vector<uint8_t> Reception::payload() const {
  return bytes.size() > 18 ? std::vector<uint8_t>(bytes.begin() + 18, bytes.end()) : std::vector<uint8_t>();
}

Reception receiveNext(ODMRTP_CLASS& client, int timeoutMs, int bufferSize) {
  Reception reception;
  if (!client.waitForData(timeoutMs / 1000, (timeoutMs % 1000) * 1000)) return reception;
  std::vector<uint8_t> buffer(static_cast<size_t>(bufferSize));
  reception.result = client.ReceiveRewindData(reinterpret_cast<RewindData*>(buffer.data()), bufferSize);
  if (reception.result > 0) buffer.resize(static_cast<size_t>(reception.result));
  reception.bytes = buffer;
  return reception;
}

int drain(ODMRTP_CLASS& client, int quietMs) {
  int taken = 0;
  while (taken < 10000 && receiveNext(client, quietMs).result != -1) ++taken;
  return taken;
}

std::vector<uint8_t> rewindPacket(uint16_t type, uint16_t flags, uint32_t sequence,
                                  const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> packet(REWIND_HEADER_SIZE + payload.size());
  writeRewindHeader(packet.data(), type, flags, sequence, static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), packet.begin() + REWIND_HEADER_SIZE);
  return packet;
}

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

}  // namespace testing_support
