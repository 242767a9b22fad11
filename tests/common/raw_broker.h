// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in MQTT broker on a loopback TCP socket that shows the exact bytes a
// client sends and answers with whatever bytes a test gives it. It serves one
// connection at a time and is driven from the test thread; every wait is bounded.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Bytes from numbers and texts, e.g. bytes({0x30, 0x0E}) + text("trelvane").
Bytes bytes(std::initializer_list<int> values);
Bytes text(const std::string& characters);
Bytes operator+(Bytes first, const Bytes& second);
std::string hex(const Bytes& data);  // "30 0E 74 ..." for readable failures
// A PUBLISH packet: QoS 0, or QoS 1 with the identifier when id is 0 or more.
Bytes publishPacket(const std::string& topic, const std::string& payload, int id = -1);

class RawBroker {
 public:
  RawBroker();  // listens on 127.0.0.1, on a port chosen by the system
  ~RawBroker();
  RawBroker(const RawBroker&) = delete;
  RawBroker& operator=(const RawBroker&) = delete;

  int port() const { return listenPort; }
  // Takes the next connection; false when none arrives in time.
  bool accept(int timeoutMs);
  // Reads count bytes; fewer when the time-out passes or the client closes first.
  Bytes read(size_t count, int timeoutMs);
  bool send(const Bytes& data);
  // True when the client closed its end (end of stream) within the time-out.
  bool waitForClose(int timeoutMs);
  void closeConnection();  // orderly close (FIN)
  void resetConnection();  // abortive close (RST)

  // The usual answers.
  static Bytes connack(int code) { return bytes({0x20, 0x02, 0x00, code}); }

 private:
  int listenFd = -1;
  int connectionFd = -1;
  int listenPort = 0;
};

}  // namespace testing_support
