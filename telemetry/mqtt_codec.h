// SPDX-License-Identifier: GPL-2.0-or-later
// MQTT 3.1 ("MQIsdp") packets as bytes, with no socket, thread or clock: the
// static operations build the packets the client sends; an MqttCodec object takes
// apart the stream the broker sends, one packet after another, asking for the
// stream in pieces (wanted) and telling what each piece meant (take). Building is
// safe from any thread; a reader object belongs to the one thread that feeds it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "telemetry/publish.h"

using MqttPacket = std::vector<uint8_t>;

// The Will a connection leaves with the broker: published (QoS 0) by the broker
// when the connection ends without a DISCONNECT. An empty topic means none.
struct MqttWill {
  std::string topic;
  std::string message;
  bool retain = false;
};

class MqttCodec {
 public:
  // Packet types (upper four bits of the first byte).
  static constexpr int kConnack = 2;
  static constexpr int kPublish = 3;
  static constexpr int kPuback = 4;
  static constexpr int kSuback = 9;
  static constexpr int kPingresp = 13;

  // The subscription is the only one the client makes; its identifier is fixed.
  static constexpr uint16_t kSubscribeId = 1;
  // A topic, client identifier or Will text is at most this long: its length
  // travels in two bytes. The builders expect fields within it.
  static constexpr size_t kLongestField = 0xFFFF;
  // The CONNACK is always this long.
  static constexpr size_t kConnackSize = 4;
  // The longest piece of the stream the reader asks for at once.
  static constexpr size_t kPieceSize = 126;

  // CONNECT: clean session, keep-alive 30 s, no user name or password; a Will
  // (null: none) is QoS 0, retained when it asks to be.
  static MqttPacket connect(const char* clientId, const MqttWill* will);
  // SUBSCRIBE of one topic with the fixed identifier.
  static MqttPacket subscribe(const char* topic, QoS qos);
  // PUBLISH; the identifier goes into the packet only above QoS 0.
  static MqttPacket publish(const char* topic, const char* message, QoS qos, bool retain, uint16_t id);
  static MqttPacket puback(uint16_t id);
  static MqttPacket pingreq();
  static MqttPacket disconnect();
  // MQTT remaining length: seven bits per byte, low group first, high bit set on
  // every byte but the last. One byte up to 127, two up to 16383.
  static void putRemainingLength(MqttPacket& packet, size_t value);
  // True when the four bytes are a CONNACK that accepts the connection; the
  // refusal's code is the last byte.
  static bool connackAccepted(const uint8_t* answer);

  // What the piece just taken meant. After PublicationEnd, Acknowledgement and
  // Packet the reader waits for the next packet's first byte.
  enum class Event {
    More,             // nothing to act on yet
    Malformed,        // a fifth remaining-length byte: the stream cannot be followed
    Acknowledge,      // a QoS 1 or 2 publication's identifier (id): answer with puback
    Payload,          // the piece is part of a publication's payload
    PublicationEnd,   // the publication's payload, perhaps empty, is complete
    Acknowledgement,  // a PUBACK or SUBACK was read whole; its identifier when hasId
    Packet,           // any other packet, or a publication dropped as malformed, was read whole
  };

  // How many bytes to read next: 1 to kPieceSize, or 0 when take is due with
  // none (a packet or payload that ends there; after Malformed, always 0).
  size_t wanted() const;
  // Takes exactly wanted() bytes of the stream (nothing when that is 0).
  Event take(const uint8_t* data);

  int type() const { return packetType; }  // of the packet being read, or just read
  uint16_t id() const { return packetId; }
  bool hasId() const { return idRead; }
  bool inPayload() const { return state == State::Payload; }
  // Bytes of the current packet's body not taken yet.
  size_t unread() const { return body; }

 private:
  enum class State {
    Header,
    Length,
    Skip,
    TopicLength,
    AfterTopic,
    PublicationId,
    Payload,
    PublicationEnd,
    AcknowledgementId,
    AcknowledgementEnd,
    PacketEnd,
    Broken,
  };

  void startBody();
  void skip(size_t count, State then);
  void enter(State next);
  void startPayload();

  State state = State::Header;
  State afterSkip = State::PacketEnd;
  uint8_t firstByte = 0;
  int packetType = 0;
  int lengthBytes = 0;
  size_t body = 0;      // body bytes not taken yet
  size_t skipLeft = 0;  // of them, still to be skipped in the current stretch
  uint16_t packetId = 0;
  bool idRead = false;
};
