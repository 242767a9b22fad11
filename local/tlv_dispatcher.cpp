// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/tlv_dispatcher.h"

#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "base/big_endian.h"
#include "local/tlv_class.h"
#include "local/tlv_event.h"
#include "support/decimal.h"
#include "support/utf8.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"
#include "telemetry/call_events.h"

namespace {

constexpr unsigned int kBeginLength = 12;  // IDs, slot and colour code, before the metadata
constexpr unsigned int kVoiceLength = 28;  // slot byte and three 9-byte frames
constexpr int kAliasAfterFrames = 32;

struct BeginFields {
  uint32_t source, destination;
  int32_t repeater;
  unsigned int slot, colourCode;
  std::string metadata;
};

BeginFields readBegin(const unsigned char* value, unsigned int length) {
  BeginFields f;
  f.source = readBE24(value);
  f.repeater = static_cast<int32_t>(readBE32(value + 3));
  f.destination = readBE24(value + 7);
  f.slot = value[10];
  f.colourCode = value[11];
  // The metadata ends at its first zero byte or at the end of the value. Older
  // partners send ISO 8859-1: bytes that are not UTF-8 are taken as such.
  const char* text = reinterpret_cast<const char*>(value + kBeginLength);
  f.metadata = toUtf8(text, strnlen(text, length - kBeginLength));
  return f;
}

std::string jsonMember(const nlohmann::json& object, const char* name) {
  if (!object.is_object()) return "";
  auto member = object.find(name);
  return member != object.end() && member->is_string() ? member->get<std::string>() : "";
}

// The command as the log shows it: a reconnect's password (its first token, as
// the reconnect reads it) replaced by the mask, and control bytes escaped.
std::string loggedCommand(const char* text) {
  std::string shown(text);
  if (strncmp(text, "txTg=", 5) == 0 && strchr(text + 5, '@') != nullptr) {
    size_t start = shown.find_first_not_of("@:", 5);
    if (start != std::string::npos) {
      size_t end = shown.find_first_of("@:", start);
      if (end == std::string::npos) end = shown.size();
      shown.replace(start, end - start, maskedSecret(shown.substr(start, end - start).c_str()));
    }
  }
  return escapeControls(shown.data(), shown.size());
}

}  // namespace

void TlvDispatcher::run(Queue<std::unique_ptr<TLV_CLASS>>& queue, const std::atomic<bool>& done) {
  while (!done) {
    std::unique_ptr<TLV_CLASS> message = queue.pop();
    if (message == nullptr || done) continue;  // a wake-up to stop
    handle(message.get());
  }
}

void TlvDispatcher::handle(TLV_CLASS* message) {
  unsigned char* raw = message->getRaw();
  unsigned char tag = raw[0];
  unsigned int length = raw[1];
  unsigned char* value = raw + 2;

  switch (tag) {
    case TAG_BEGIN_TX:
      if (length < kBeginLength) break;
      beginLocalTransmission(value, length);
      return;
    case TAG_END_TX:
      logInstance.log(LOG_INFO, "%s, TX state = OFF, DMR frame count was %d frames\n", "DMR", txFrameCount);
      network.endTransmission();
      txFrameCount = 0;
      events.ended(StatusWay::ToNetwork, cadence.quality());
      cadence.reset();
      return;
    case TAG_TG_TUNE:
      logInstance.log(LOG_INFO, "TAG_TG_TUNE\n");
      return;
    case TAG_REMOTE_CMD:
      value[length] = 0;  // the spare byte ends the command text
      remoteCommand(reinterpret_cast<char*>(value));
      return;
    case TAG_AMBE_49:
      logInstance.log(LOG_ERROR,
                      "%s, got DSAMBE/IMBE/AMBE49 (TAG=TAG_AMBE_49)and expected AMBE (change to 72 bits)\n", "DMR");
      return;
    case TAG_AMBE_72:
      if (length < kVoiceLength) break;
      logInstance.log(LOG_DEBUG, "TAG_AMBE_72\n");
      network.transmitAudio(value + 1);
      cadence.voice(clock.monotonicUs());
      events.frame(StatusWay::ToNetwork);
      if (++txFrameCount == kAliasAfterFrames) network.sendAlias();
      return;
    case TAG_SET_INFO:
      if (length < kBeginLength) break;
      setInfo(value, length);
      return;
    case TAG_IMBE:
      logInstance.log(LOG_ERROR, "%s, got DSAMBE/IMBE/AMBE49 (TAG=TAG_IMBE)and expected AMBE (change to 72 bits)\n",
                      "DMR");
      return;
    case TAG_DSAMBE:
      logInstance.log(LOG_ERROR,
                      "%s, got DSAMBE/IMBE/AMBE49 (TAG=TAG_DSAMBE)and expected AMBE (change to 72 bits)\n", "DMR");
      return;
    case TAG_FILE_XFER:
      logInstance.log(LOG_MESSAGE, "TAG_FILE_XFER\n");
      return;
    case TAG_NOP:
      logInstance.log(LOG_MESSAGE, "TAG_NOP\n");
      return;
    case TAG_EVENT:
      logInstance.log(LOG_MESSAGE, "TAG_EVENT\n");
      return;
    default:
      logInstance.log(LOG_MESSAGE, "tlv tag=%0x len=%d\n", tag, length);
      return;
  }
  // Reached only for a begin, set-info or voice message too short for its fields.
  events.count(StatusCounter::DroppedMalformed);
  logInstance.log(LOG_WARNING, "%s, TLV tag %d with %u value bytes is too short, dropped\n", "DMR", tag, length);
}

void TlvDispatcher::beginLocalTransmission(const unsigned char* value, unsigned int length) {
  BeginFields f = readBegin(value, length);
  logInstance.log(LOG_INFO, "%s, Begin TX: src=%d rpt=%d dst=%d slot=%d cc=%d metadata=%s\n", "DMR",
                  static_cast<int>(f.source), f.repeater, static_cast<int>(f.destination), f.slot, f.colourCode,
                  escapeControls(f.metadata.data(), f.metadata.size()).c_str());
  std::string callsign, name;
  if (!f.metadata.empty()) {
    if (f.metadata[0] == '{') {
      nlohmann::json object = nlohmann::json::parse(f.metadata, nullptr, false);
      callsign = jsonMember(object, "call");
      name = jsonMember(object, "name");
      network.encodeCallAlias(callsign, &name);
    } else {
      callsign = f.metadata;
      network.encodeCallAlias(callsign, nullptr);
    }
  }
  events.began(StatusWay::ToNetwork, f.source, f.destination, callType == 3, callsign.c_str(), name.c_str());
  network.beginTransmission(static_cast<int>(f.source), static_cast<int>(f.destination), callType);
  txFrameCount = 0;
  cadence.reset();
}

void TlvDispatcher::setInfo(const unsigned char* value, unsigned int length) {
  BeginFields f = readBegin(value, length);
  logInstance.log(LOG_INFO, "%s, TAG_SET_INFO: src=%d rpt=%d dst=%d slot=%d cc=%d metadata=%s\n", "DMR",
                  static_cast<int>(f.source), f.repeater, static_cast<int>(f.destination), f.slot, f.colourCode,
                  escapeControls(f.metadata.data(), f.metadata.size()).c_str());
}

void TlvDispatcher::remoteCommand(char* text) {
  logInstance.log(LOG_INFO, "%s, Remote CMD: %s\n", "DMR", loggedCommand(text).c_str());

  if (strncmp(text, "txTg=", 5) == 0) {
    char* argument = text + 5;
    if (strchr(argument, '@') != nullptr) {
      // password@host:port!tg (the first separator may also be ':')
      char* state = nullptr;
      char* password = strtok_r(argument, "@:", &state);
      char* host = strtok_r(nullptr, "@:", &state);
      char* port = strtok_r(nullptr, ":!", &state);
      char* group = strtok_r(nullptr, "!", &state);
      if (password == nullptr || host == nullptr || port == nullptr) {
        logInstance.log(LOG_WARNING, "%s, Remote CMD: reconnect needs password@host:port!tg, ignored\n", "DMR");
        return;
      }
      unsigned int talkGroup = group != nullptr ? static_cast<unsigned int>(parseDecimal(group)) : 0;
      int result = network.reconnect(host, port, password, talkGroup);
      if (result == 0) {
        logInstance.log(LOG_INFO, "Server login success\n");
        sendTlvEvent(partner, "trelvane/ZELK/DMR", "login success");
      } else {
        logInstance.log(LOG_INFO, "Error logging into BM server\n");
        sendTlvEvent(partner, "trelvane/ZELK/DMR", "login failure");
      }
      return;
    }
    unsigned int talkGroup =
        strncmp(argument, "disconnect", 10) == 0 ? 4000u : static_cast<unsigned int>(parseDecimal(argument));
    callType = strchr(argument, '#') != nullptr ? 3 : 0;
    network.subscribe(talkGroup);
    events.talkGroup(talkGroup);
    return;
  }

  if (strncmp(text, "setTA=", 6) == 0) network.encodeAlias(text + 6);
}
