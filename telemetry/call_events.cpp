// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/call_events.h"

#include "telemetry/systemd_notifier.h"

void CallEvents::began(StatusWay way, uint32_t source, uint32_t destination, bool privateCall, const char* callsign,
                       const char* name) {
  const SystemdNotifier::Way notified =
      way == StatusWay::FromNetwork ? SystemdNotifier::Way::FromNetwork : SystemdNotifier::Way::ToNetwork;
  notifier.setCall(notified, source, callsign, destination, privateCall);
  board.callBegan(way, source, destination, privateCall, callsign, name);
}

void CallEvents::talkGroup(uint32_t group) {
  notifier.setTalkGroup(group);
  board.setTalkGroup(group);
}
