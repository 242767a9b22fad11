// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/mqtt_probe.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"

namespace testing_support {

namespace {

std::string lengthField(size_t value) {
  std::string out;
  do {
    char digit = static_cast<char>(value & 0x7F);
    value >>= 7;
    if (value > 0) digit = static_cast<char>(digit | 0x80);
    out += digit;
  } while (value > 0);
  return out;
}

std::string string16(const std::string& s) {
  return std::string(1, static_cast<char>(s.size() >> 8)) + static_cast<char>(s.size() & 0xFF) + s;
}

std::string packet(int first, const std::string& body) {
  return std::string(1, static_cast<char>(first)) + lengthField(body.size()) + body;
}

}  // namespace

MqttProbe::~MqttProbe() {
  if (fd >= 0) {
    sendAll(std::string("\xE0\x00", 2));
    close(fd);
  }
}

bool MqttProbe::sendAll(const std::string& data) {
  return fd >= 0 && send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

bool MqttProbe::connect(int port, const std::string& clientId) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
  std::string body = string16("MQTT") + '\x04' + '\x02' + std::string(2, '\0') + string16(clientId);
  if (!sendAll(packet(0x10, body))) return false;
  int type = 0;
  return readPacket(5000, &type) && type == 2;
}

bool MqttProbe::subscribe(const std::string& topicFilter) {
  int id = nextId++;
  std::string body = std::string(1, static_cast<char>(id >> 8)) + static_cast<char>(id & 0xFF) +
                     string16(topicFilter) + '\0';
  if (!sendAll(packet(0x82, body))) return false;
  for (int type = 0; readPacket(5000, &type);) {
    if (type == 9) return true;
  }
  return false;
}

bool MqttProbe::publish(const std::string& topic, const std::string& payload) {
  return sendAll(packet(0x30, string16(topic) + payload));
}

// Reads one whole packet (within the time-out); a PUBLISH is kept in received.
bool MqttProbe::readPacket(int timeoutMs, int* type) {
  long long deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    // Try to parse what is pending.
    size_t remaining = 0;
    size_t at = 1;
    bool haveLength = false;
    for (int shift = 0; at < pending.size() && at <= 4; ++at, shift += 7) {
      remaining |= static_cast<size_t>(static_cast<uint8_t>(pending[at]) & 0x7F) << shift;
      if ((static_cast<uint8_t>(pending[at]) & 0x80) == 0) {
        haveLength = true;
        ++at;
        break;
      }
    }
    if (haveLength && pending.size() >= at + remaining) {
      std::string body = pending.substr(at, remaining);
      *type = static_cast<uint8_t>(pending[0]) >> 4;
      pending.erase(0, at + remaining);
      if (*type == 3 && body.size() >= 2) {
        size_t topicLength = (static_cast<uint8_t>(body[0]) << 8) | static_cast<uint8_t>(body[1]);
        received.push_back({body.substr(2, topicLength), body.substr(2 + topicLength)});
      }
      return true;
    }
    long long left = deadline - monotonicMilliseconds();
    if (left <= 0 || fd < 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) != 1) return false;
    char piece[4096];
    ssize_t got = recv(fd, piece, sizeof(piece), 0);
    if (got <= 0) return false;
    pending.append(piece, static_cast<size_t>(got));
  }
}

const std::vector<MqttMessage>& MqttProbe::waitForMessages(size_t count, int timeoutMs) {
  long long deadline = monotonicMilliseconds() + timeoutMs;
  int type = 0;
  while (received.size() < count) {
    long long left = deadline - monotonicMilliseconds();
    if (left <= 0 || !readPacket(static_cast<int>(left), &type)) break;
  }
  return received;
}

std::vector<std::string> MqttProbe::payloads(const std::string& topic) const {
  std::vector<std::string> out;
  for (const MqttMessage& m : received) {
    if (m.topic == topic) out.push_back(m.payload);
  }
  return out;
}

}  // namespace testing_support
