// SPDX-License-Identifier: GPL-2.0-or-later
// The server's side of a login: each record of the input is one datagram that
// reaches the client while it logs in (bit 0 of the flags: from a stranger's
// endpoint instead of the server's; bit 1: the magic written over its first
// bytes). They wait in the client's socket before the login starts; a
// subscription confirmation after them ends a login that is still going, so no
// input waits for the login's deadline. One client serves every input; what an
// input leaves in its socket is read away before the next.
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "fuzz/fuzz_bridge.h"
#include "fuzz/fuzz_support.h"
#include "network/odmrtp_class.h"
#include "network/rewind_data.h"

namespace {

constexpr size_t kMaxDatagrams = 32;
constexpr size_t kMaxDatagramSize = 300;  // the login's buffer is 256: longer ones are cut

struct LoginStage {
  fuzzing::LoopbackSink server;
  fuzzing::LoopbackSink stranger;
  ODMRTP_CLASS client{3106001, "ZELK_fuzz"};
  struct sockaddr_storage clientAddress {};
  socklen_t clientLength = 0;
  std::string port;

  LoginStage() {
    fuzzing::quietLogging(true);
    port = std::to_string(server.port());
    if (!fuzzing::logInToSink(client, server, &clientAddress, &clientLength)) {
      fprintf(stderr, "fuzz login: the client could not log in to the loopback sink\n");
      abort();
    }
  }

  void send(const fuzzing::LoopbackSink& from, const void* data, size_t size) {
    sendto(from.handle(), data, size, 0, reinterpret_cast<const sockaddr*>(&clientAddress), clientLength);
  }

  void drainClient() {
    alignas(8) uint8_t sink[512];
    for (int i = 0; i < 256 && client.isReadDataReady(); ++i) {
      client.ReceiveRewindData(reinterpret_cast<RewindData*>(sink), sizeof(sink));
    }
  }
};

}  // namespace

namespace fuzzing {

int rewindLogin(const uint8_t* data, size_t size) {
  static LoginStage* stage = new LoginStage();  // never destroyed
  stage->server.drain();
  uint8_t datagram[kMaxDatagramSize];
  for (const Record& record : splitRecords(data, size, kMaxDatagramSize, kMaxDatagrams)) {
    memcpy(datagram, record.bytes, record.size);
    if ((record.flags & 2) != 0) {
      memcpy(datagram, REWIND_PROTOCOL_SIGN, record.size < REWIND_SIGN_LENGTH ? record.size : REWIND_SIGN_LENGTH);
    }
    stage->send((record.flags & 1) != 0 ? stage->stranger : stage->server, datagram, record.size);
  }
  uint8_t confirmation[REWIND_HEADER_SIZE];
  writeRewindHeader(confirmation, REWIND_TYPE_SUBSCRIPTION, REWIND_FLAG_NONE, 0, 0);
  stage->send(stage->server, confirmation, sizeof(confirmation));

  unsigned int talkGroup = size > 0 ? data[0] : 0;  // 0 stands for the default group
  int result = stage->client.ConnectRewindClient("127.0.0.1", stage->port.c_str(), "passw0rd", talkGroup);
  stage->drainClient();
  // Success or one of the client's error codes, each with its text.
  constexpr int kCodes = static_cast<int>(sizeof(ODMRTP_CLASS::messages) / sizeof(ODMRTP_CLASS::messages[0]));
  return result <= REWIND_SUCCESS && -result < kCodes ? 0 : 1;
}

}  // namespace fuzzing
