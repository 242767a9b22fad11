// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/odmr_message.h"

#include <string.h>

#include "local/tlv_class.h"
#include "network/link_watch.h"
#include "network/rewind_data.h"
#include "network/talker_alias.h"
#include "support/cudp.h"
#include "support/subscriber.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"
#include "telemetry/call_events.h"

namespace {

constexpr int kHeaderSize = REWIND_HEADER_SIZE;
constexpr int kLinkControlSize = 9;  // what the handler reads of a voice header or an alias block
constexpr int kBurstSize = REWIND_VOICE_BURST_SIZE;

// A network call without a voice packet for this long has lost its terminator.
constexpr int64_t kCallQuietMs = 1500;

uint32_t headerSource(const unsigned char* header) { return readBE24(header + 6); }
uint32_t headerDestination(const unsigned char* header) { return readBE24(header + 3); }
unsigned char headerKind(const unsigned char* header) { return header[0] & 0x3F; }

bool sameCall(const unsigned char* header, uint32_t source, uint32_t destination, unsigned char kind) {
  return headerSource(header) == source && headerDestination(header) == destination && headerKind(header) == kind;
}

// Packets the handler only logs, by their type's name; 0x0A02 as an empty line.
void logLoggedOnly(uint16_t type) {
  const char* name = rewindTypeName(type);
  if (type == 0x0A02) {
    logInstance.log(LOG_MESSAGE, "\n");
  } else if (name != nullptr) {
    logInstance.log(LOG_MESSAGE, "REWIND_TYPE_%s\n", name);
  } else {
    logInstance.log(LOG_MESSAGE, "unknown type %0X\n", type);
  }
}

}  // namespace

ODMRMessageHandler::ODMRMessageHandler(CUDP& partner, LinkWatch& link, TalkerAlias& alias, Subscriber* subscribers,
                                       CallEvents& events, int playoutMs)
    : partner(partner),
      link(link),
      alias(alias),
      subscribers(subscribers),
      events(events),
      playout(playoutMs > 0 ? new PlayoutBuffer(playoutMs) : nullptr) {}

void ODMRMessageHandler::process(RewindData* packet, int length) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(packet);
  int payloadLength = length - kHeaderSize;
  uint16_t type = readLE16(raw + 8);

  // A packet shorter than what its handler reads is dropped rather than read
  // past its end, which would forward bytes of an earlier datagram.
  int needed = 0;
  if (type == REWIND_TYPE_DMR_DATA_BASE + 1 || type == REWIND_TYPE_DMR_EMBEDDED_DATA) needed = kLinkControlSize;
  if (type == REWIND_TYPE_DMR_VOICE_FRAME) needed = kBurstSize;
  if (payloadLength < needed) {
    events.count(StatusCounter::DroppedMalformed);
    logInstance.log(LOG_WARNING, "%s, Rewind packet type %0X of %d bytes is too short, dropped\n", "DMR", type,
                    length);
    return;
  }
  if (playout && PlayoutBuffer::takes(raw, length)) {
    // Measured as it arrives: the figures are the road's, not the playout's.
    const bool burst = type == REWIND_TYPE_DMR_VOICE_FRAME;
    quality.packet(rewindSequence(packet), burst, link.nowUs());
    if (playout->accept(raw, length, link.nowUs()) == PlayoutBuffer::Arrival::Late && burst) quality.countLate();
    return;
  }
  handle(packet);
}

void ODMRMessageHandler::playDue() {
  if (!playout) return;
  const uint8_t* packet = nullptr;
  int length = 0;
  for (;;) {
    switch (playout->next(link.nowUs(), &packet, &length)) {
      case PlayoutBuffer::Out::Nothing:
        return;
      case PlayoutBuffer::Out::Packet:
        handle(reinterpret_cast<const RewindData*>(packet));
        break;
      case PlayoutBuffer::Out::Silence:
        quality.countFilled();
        voiceBurst(PlayoutBuffer::kSilenceBurst);
        break;
    }
  }
}

int64_t ODMRMessageHandler::msUntilPlayoutDue() const {
  if (!playout) return -1;
  const int64_t us = playout->usUntilDue(link.nowUs());
  return us < 0 ? -1 : (us + 999) / 1000;
}

// The packet passed the length check; payload bytes follow its header.
void ODMRMessageHandler::handle(const RewindData* packet) {
  const unsigned char* raw = rewindBytes(packet);
  const unsigned char* payload = raw + kHeaderSize;
  const uint16_t type = readLE16(raw + 8);
  switch (type) {
    case REWIND_TYPE_KEEP_ALIVE:
      logInstance.log(LOG_MESSAGE, "REWIND_TYPE_KEEP_ALIVE\n");
      link.serverKeepAlive();
      return;
    case REWIND_TYPE_DMR_DATA_BASE + 1:
      voiceHeader(packet, payload);
      return;
    case REWIND_TYPE_DMR_DATA_BASE + 2:
      measure(packet, false);
      endNetworkCall();
      return;
    case REWIND_TYPE_DMR_VOICE_FRAME:
      measure(packet, true);
      voiceBurst(payload);
      return;
    case REWIND_TYPE_DMR_EMBEDDED_DATA:
      measure(packet, false);
      embeddedData(payload);
      return;
    default:
      break;
  }

  logLoggedOnly(type);
}

void ODMRMessageHandler::measure(const RewindData* packet, bool burst) {
  // Control packets are numbered from another counter; with a playout buffer the
  // real-time ones were measured as they arrived.
  if ((rewindFlags(packet) & REWIND_FLAG_REAL_TIME_1) == 0 || playout) return;
  quality.packet(rewindSequence(packet), burst, link.nowUs());
}

void ODMRMessageHandler::voiceHeader(const RewindData* packet, const unsigned char* header) {
  logInstance.log(LOG_MESSAGE, "REWIND_TYPE_DMR_DATA_BASE+1\n");
  // A header of another caller, group or call type means the terminator of the
  // call in progress was lost: end that call before the new one begins. A
  // repeated header of the same call only counts.
  if (frameCount > 0 && !(callIdentified && sameCall(header, callSource, callDestination, callKind))) {
    endNetworkCall();
  }
  // Measured after the end of a call before it: the header is the new call's.
  measure(packet, false);
  if (frameCount == 0) beginNetworkCall(header);
  ++frameCount;
  taCount = 0;
  lastVoicePacket = link.now();
}

void ODMRMessageHandler::voiceBurst(const unsigned char* burst) {
  unsigned char voice[30] = {TAG_AMBE_72, 28, 1};
  memcpy(voice + 3, burst, kBurstSize);
  partner.writeSocket(voice, sizeof(voice));
  events.frame(StatusWay::FromNetwork);
  ++frameCount;
  lastVoicePacket = link.now();
}

void ODMRMessageHandler::embeddedData(const unsigned char* payload) {
  unsigned char block = payload[0];
  if (block == 4) {
    logInstance.log(LOG_DEBUG, "TA Format = %0X, len = %d\n", (payload[2] >> 6) & 0x03, (payload[2] >> 1) & 0x1F);
  }
  if (block >= 4 && block <= 7) {
    logInstance.log(LOG_DEBUG, "%s, TA block header %d\n", "DMR", block);
    logInstance.dump(LOG_DEBUG, "TA", payload, kLinkControlSize);
    if (taCount == 0 && alias.decode(payload) == 1) {
      ++taCount;
      events.alias(StatusWay::FromNetwork, alias.decodedText);
    }
  }
  logInstance.log(LOG_DEBUG, "REWIND_TYPE_DMR_EMBEDDED_DATA\n");
  if (frameCount > 0) lastVoicePacket = link.now();
}

void ODMRMessageHandler::beginNetworkCall(const unsigned char* header) {
  uint32_t destination = headerDestination(header);
  uint32_t source = headerSource(header);
  bool isPrivate = headerKind(header) != 0;
  const char* kind = isPrivate ? "PRIVATE" : "GROUP";
  SUBINFO* caller = subscribers != nullptr ? subscribers->findSubscriber(source) : nullptr;
  if (caller != nullptr) {
    logInstance.log(LOG_INFO, "%s, ODMR Begin Tx: src = %s, dst = %d (%s) (%s)\n", "DMR",
                    escapeControls(caller->callsign).c_str(), static_cast<int>(destination), kind,
                    escapeControls(caller->name).c_str());
  } else {
    logInstance.log(LOG_INFO, "%s, ODMR Begin Tx: src = %d, dst = %d (%s)\n", "DMR", static_cast<int>(source),
                    static_cast<int>(destination), kind);
  }
  events.began(StatusWay::FromNetwork, source, destination, isPrivate, caller ? caller->callsign : nullptr,
               caller ? caller->name : nullptr);
  unsigned char begin[14] = {TAG_BEGIN_TX, 12};
  writeBE24(begin + 2, source);
  // bytes 5 to 8: repeater 0
  writeBE24(begin + 9, destination);
  begin[12] = 1;
  begin[13] = isPrivate ? 0x81 : 0x01;
  partner.writeSocket(begin, sizeof(begin));
  callIdentified = true;
  callSource = source;
  callDestination = destination;
  callKind = headerKind(header);
}

void ODMRMessageHandler::endNetworkCall() {
  logInstance.log(LOG_INFO, "%s, ODMR End Tx:DMR frame count was %d frames\n", "DMR", frameCount);
  static const unsigned char end[3] = {TAG_END_TX, 1, 1};
  partner.writeSocket(end, sizeof(end));
  frameCount = 0;
  callIdentified = false;
  events.ended(StatusWay::FromNetwork, quality.quality());
  quality.reset();
}

int64_t ODMRMessageHandler::msUntilNetworkCallTimeout() const {
  // What waits in the playout buffer belongs to the call: it is played first.
  if (frameCount == 0 || (playout && playout->holding())) return -1;
  int64_t left = lastVoicePacket + kCallQuietMs - link.now();
  return left > 0 ? left : 0;
}

void ODMRMessageHandler::endQuietNetworkCall() {
  if (msUntilNetworkCallTimeout() == 0) endNetworkCall();
}
