// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/bridge_components.h"

#include "app/czelk.h"
#include "app/setting_lists.h"
#include "app/settings.h"
#include "local/tlv_class.h"
#include "network/odmrtp_class.h"
#include "support/cudp.h"
#include "support/subscriber.h"
#include "telemetry/log_class.h"

namespace {

const char* aliasTemplate(const Settings_t* settings) {
  return settings->talkerAlias != nullptr ? settings->talkerAlias : "";
}

}  // namespace

BridgeComponents::BridgeComponents(Settings_t* configuration, const std::atomic<bool>& done, StatusBoard& statusBoard,
                                   SystemdNotifier& systemdNotifier, Clock clock)
    : settings(configuration),
      board(statusBoard),
      notifier(systemdNotifier),
      events(statusBoard, systemdNotifier),
      currentTG(configuration->startTG),
      subscribers(configuration->subscriberFile != nullptr ? new Subscriber(configuration->subscriberFile, clock)
                                                           : nullptr),
      localLink(new CUDP(configuration->address, static_cast<int>(configuration->rxPort),
                         static_cast<int>(configuration->txPort), CUDP::kBindReadPort | CUDP::kOwnerReportsBind,
                         clock)),
      // The client exists before any worker thread, so no thread ever finds it missing.
      rewindClient(new ODMRTP_CLASS(configuration->userID, CZELK::getAppName(), clock, &statusBoard)),
      link(clock),
      reconnect(done),
      handler(*localLink, link, alias, subscribers.get(), events, static_cast<int>(configuration->networkJitter)),
      dispatcher(*localLink, dispatcherNetwork(), events, clock) {
  alias.setTaString(aliasTemplate(settings));
  alias.encode(aliasTemplate(settings));
  // The start-up refused a bad list; here a bad one is no list.
  std::vector<uint32_t> staticGroups;
  std::string why;
  if (parseStaticTalkGroups(settings->staticTGs, &staticGroups, &why)) rewindClient->setStaticTalkGroups(staticGroups);
  if (!rewindClient->hasContext()) {
    logInstance.log(LOG_ERROR, "%s, Cannot open the Rewind client socket\n", "DMR");
  }
}

BridgeComponents::~BridgeComponents() = default;

DispatcherNetwork BridgeComponents::dispatcherNetwork() {
  DispatcherNetwork network;
  ODMRTP_CLASS* client = rewindClient.get();
  network.beginTransmission = [client](int source, int destination, int callType) {
    client->beginTransmission(source, destination, callType);
  };
  network.transmitAudio = [client](unsigned char* frames) { client->transmitAudio(frames); };
  network.endTransmission = [client] { client->endTransmission(); };
  network.subscribe = [this, client](uint32_t talkGroup) {
    currentTG = talkGroup;
    client->subscribeTalkGroups(talkGroup);
  };
  network.reconnect = [this](const char* host, const char* port, const char* password, unsigned int talkGroup) {
    return reconnect.request(host, port, password, talkGroup);
  };
  network.encodeCallAlias = [this](const std::string& callsign, const std::string* name) {
    std::string text = alias.substitute(alias.getTaString(), "%callsign", callsign);
    if (name != nullptr) text = alias.substitute(text, "%name", *name);
    alias.encode(text.c_str());
  };
  network.encodeAlias = [this](const char* text) { alias.encode(text); };
  network.sendAlias = [this, client] {
    if (alias.blockCount > 0) events.alias(StatusWay::ToNetwork, alias.encodedText);
    alias.send(client);
  };
  return network;
}
