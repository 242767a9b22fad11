// SPDX-License-Identifier: GPL-2.0-or-later
// A byte stream from the broker: the input after its first byte is what the
// broker sends, read by the client's packet reader (serviceSocket) from one end of
// a socket pair whose other end then closes for writing. The first byte picks the
// packet type the reader waits for and the identifier of the last publication.
// Acknowledgements the reader sends back land in the other end and are dropped;
// the reader's end does not block, so a flood of them ends the connection
// (a send that does not fit) instead of waiting for a reader that never comes.
// The reader answers 1 or 0 and either keeps the descriptor or gives it up. The
// codec then reads the same stream from memory, without the client around it.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "telemetry/mqtt.h"

namespace {

constexpr size_t kMaxStream = 64 * 1024;  // stays within the socket pair's buffer

// The same stream read by the codec alone, as far as it goes: every piece asked
// for is within bounds and never beyond the packet's body, and each step either
// takes bytes or finishes a packet, so the reader cannot stall.
bool codecKeepsInStep(const uint8_t* stream, size_t size) {
  MqttCodec reader;
  size_t at = 0;
  bool finishedLast = false;  // the last step took nothing
  for (;;) {
    size_t wanted = reader.wanted();
    if (wanted > MqttCodec::kPieceSize) return false;
    if (wanted == 0 && finishedLast) return false;  // two empty steps in a row
    if (at + wanted > size) return true;            // the stream ends here
    MqttCodec::Event event = reader.take(stream + at);
    if (event == MqttCodec::Event::Malformed) return wanted == 1;  // only a length byte can be
    at += wanted;
    finishedLast = wanted == 0;
    if (reader.unread() > (size_t{1} << 28)) return false;  // four length bytes hold no more
  }
}

}  // namespace

namespace fuzzing {

int mqttStream(const uint8_t* data, size_t size) {
  quietLogging(true);
  if (size == 0) return 0;
  if (size - 1 > kMaxStream) size = kMaxStream + 1;

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  int big = static_cast<int>(2 * kMaxStream);
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
  setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  size_t sent = 0;
  while (sent < size - 1) {
    ssize_t wrote = send(pair[0], data + 1 + sent, size - 1 - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (wrote <= 0) break;  // the rest does not fit: the stream ends earlier
    sent += static_cast<size_t>(wrote);
  }
  shutdown(pair[0], SHUT_WR);
  fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK);

  mqtt_broker_handle handle{};
  handle.sock.reset(pair[1]);  // the reader closes it itself on end of stream or error
  handle.connected = 1;
  handle.lastMessageId = static_cast<uint16_t>(data[0] & 0x07);
  int result = MQTT::serviceSocket(&handle, data[0] >> 4);
  bool sound = (result == 0 || result == 1) && (handle.sock.get() == pair[1] || !handle.sock.valid());
  close(pair[0]);
  return sound && codecKeepsInStep(data + 1, size - 1) ? 0 : 1;
}

}  // namespace fuzzing
