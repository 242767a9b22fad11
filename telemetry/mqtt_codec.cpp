// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/mqtt_codec.h"

#include <string.h>

namespace {

void putUint16(MqttPacket& packet, size_t value) {
  packet.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
  packet.push_back(static_cast<uint8_t>(value & 0xFF));
}

void putBytes(MqttPacket& packet, const char* text, size_t length) { packet.insert(packet.end(), text, text + length); }

uint16_t readUint16(const uint8_t* data) { return static_cast<uint16_t>((data[0] << 8) | data[1]); }

}  // namespace

// ---- Building -----------------------------------------------------------

void MqttCodec::putRemainingLength(MqttPacket& packet, size_t value) {
  do {
    uint8_t digit = value & 0x7F;
    value >>= 7;
    if (value > 0) digit |= 0x80;
    packet.push_back(digit);
  } while (value > 0);
}

MqttPacket MqttCodec::connect(const char* clientId, const MqttWill* will) {
  size_t idLength = strlen(clientId);
  if (will != nullptr && will->topic.empty()) will = nullptr;
  MqttPacket packet = {0x10};
  size_t willLength = will != nullptr ? 4 + will->topic.size() + will->message.size() : 0;
  putRemainingLength(packet, 14 + idLength + willLength);
  putUint16(packet, 6);
  putBytes(packet, "MQIsdp", 6);
  packet.push_back(0x03);  // protocol version
  // Clean session; no user name or password. A Will is QoS 0, retained when asked.
  uint8_t flags = 0x02;
  if (will != nullptr) flags |= will->retain ? 0x24 : 0x04;
  packet.push_back(flags);
  putUint16(packet, 30);  // keep-alive, seconds
  putUint16(packet, idLength);
  putBytes(packet, clientId, idLength);
  if (will != nullptr) {
    putUint16(packet, will->topic.size());
    putBytes(packet, will->topic.data(), will->topic.size());
    putUint16(packet, will->message.size());
    putBytes(packet, will->message.data(), will->message.size());
  }
  return packet;
}

MqttPacket MqttCodec::subscribe(const char* topic, QoS qos) {
  size_t topicLength = strlen(topic);
  // The QoS 1 bits of the fixed header are required on SUBSCRIBE: brokers close
  // the connection of a client that leaves them out.
  MqttPacket packet = {0x82};
  putRemainingLength(packet, topicLength + 5);
  putUint16(packet, kSubscribeId);
  putUint16(packet, topicLength);
  putBytes(packet, topic, topicLength);
  packet.push_back(static_cast<uint8_t>(qos));
  return packet;
}

MqttPacket MqttCodec::publish(const char* topic, const char* message, QoS qos, bool retain, uint16_t id) {
  size_t topicLength = strlen(topic);
  size_t messageLength = strlen(message);
  MqttPacket packet;
  packet.reserve(5 + 2 + topicLength + 2 + messageLength);
  packet.push_back(static_cast<uint8_t>(0x30 | (qos << 1) | (retain ? 0x01 : 0x00)));
  putRemainingLength(packet, (qos == QOS0 ? 2 : 4) + topicLength + messageLength);
  putUint16(packet, topicLength);
  putBytes(packet, topic, topicLength);
  if (qos != QOS0) putUint16(packet, id);
  putBytes(packet, message, messageLength);
  return packet;
}

MqttPacket MqttCodec::puback(uint16_t id) {
  return {0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
}

MqttPacket MqttCodec::pingreq() { return {0xC0, 0x00}; }

MqttPacket MqttCodec::disconnect() { return {0xE0, 0x00}; }

bool MqttCodec::connackAccepted(const uint8_t* answer) {
  return (answer[0] >> 4) == kConnack && answer[1] == 2 && answer[3] == 0;
}

// ---- Reading ------------------------------------------------------------

size_t MqttCodec::wanted() const {
  switch (state) {
    case State::Header:
    case State::Length:
      return 1;
    case State::TopicLength:
    case State::PublicationId:
    case State::AcknowledgementId:
      return 2;
    case State::Skip:
      return skipLeft < kPieceSize ? skipLeft : kPieceSize;
    case State::Payload:
      return body < kPieceSize ? body : kPieceSize;
    default:
      return 0;
  }
}

void MqttCodec::skip(size_t count, State then) {
  skipLeft = count;
  afterSkip = then;
  if (count == 0) {
    enter(then);
  } else {
    state = State::Skip;
  }
}

void MqttCodec::startPayload() { state = body > 0 ? State::Payload : State::PublicationEnd; }

void MqttCodec::enter(State next) {
  if (next != State::AfterTopic) {
    state = next;
  } else if (((firstByte >> 1) & 0x03) == 0) {
    startPayload();
  } else if (body < 2) {
    skip(body, State::PacketEnd);  // no room for the identifier: dropped whole
  } else {
    state = State::PublicationId;
  }
}

void MqttCodec::startBody() {
  switch (packetType) {
    case kPublish:
      if (body < 2) {
        skip(body, State::PacketEnd);
      } else {
        state = State::TopicLength;
      }
      break;
    case kPuback:
    case kSuback:
      // The identifier leads the body; anything behind it is read and dropped.
      if (body < 2) {
        skip(body, State::AcknowledgementEnd);
      } else {
        state = State::AcknowledgementId;
      }
      break;
    default:
      skip(body, State::PacketEnd);
      break;
  }
}

MqttCodec::Event MqttCodec::take(const uint8_t* data) {
  switch (state) {
    case State::Header:
      firstByte = data[0];
      packetType = firstByte >> 4;
      lengthBytes = 0;
      body = 0;
      packetId = 0;
      idRead = false;
      state = State::Length;
      return Event::More;
    case State::Length:
      body |= static_cast<size_t>(data[0] & 0x7F) << (7 * lengthBytes);
      ++lengthBytes;
      if ((data[0] & 0x80) == 0) {
        startBody();
      } else if (lengthBytes == 4) {
        // No valid packet has a fifth length byte.
        state = State::Broken;
        return Event::Malformed;
      }
      return Event::More;
    case State::Skip: {
      size_t piece = wanted();
      skipLeft -= piece;
      body -= piece;
      if (skipLeft == 0) enter(afterSkip);
      return Event::More;
    }
    case State::TopicLength: {
      body -= 2;
      size_t topicLength = readUint16(data);
      // A topic longer than the body is malformed: the rest is dropped whole.
      // The topic itself is not examined.
      if (topicLength > body) {
        skip(body, State::PacketEnd);
      } else {
        skip(topicLength, State::AfterTopic);
      }
      return Event::More;
    }
    case State::PublicationId:
      body -= 2;
      packetId = readUint16(data);
      idRead = true;
      startPayload();
      return Event::Acknowledge;
    case State::Payload:
      body -= wanted();
      if (body == 0) state = State::PublicationEnd;
      return Event::Payload;
    case State::PublicationEnd:
      state = State::Header;
      return Event::PublicationEnd;
    case State::AcknowledgementId:
      body -= 2;
      packetId = readUint16(data);
      idRead = true;
      skip(body, State::AcknowledgementEnd);
      return Event::More;
    case State::AcknowledgementEnd:
      state = State::Header;
      return Event::Acknowledgement;
    case State::PacketEnd:
      state = State::Header;
      return Event::Packet;
    case State::AfterTopic:  // never rests here
    case State::Broken:
      break;
  }
  return Event::Malformed;
}
