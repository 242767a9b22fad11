// SPDX-License-Identifier: GPL-2.0-or-later
// The one place a call's events are told: the network handler and the
// dispatcher report here each call's begin, its voice frames, its talker alias,
// its end with its quality figures, the talk group and the messages they had to
// drop, and this fans each event out to everyone who keeps track of calls (the
// systemd notifier and the status board). A new observer of calls is added
// here, not in the voice path. It borrows both from the bridge,
// which owns them and outlives it. Every call is safe from any thread: the
// observers lock for themselves, and frame and count take no lock at all.
#pragma once

#include <stdint.h>

#include <string>

#include "base/call_quality.h"
#include "telemetry/status_board.h"

class SystemdNotifier;

class CallEvents {
 public:
  CallEvents(StatusBoard& board, SystemdNotifier& notifier) : board(board), notifier(notifier) {}
  CallEvents(const CallEvents&) = delete;
  CallEvents& operator=(const CallEvents&) = delete;

  // A call began this way; callsign and name may be null or empty.
  void began(StatusWay way, uint32_t source, uint32_t destination, bool privateCall, const char* callsign,
             const char* name);
  // One voice frame (a burst of three AMBE frames) carried this way.
  void frame(StatusWay way) { board.frame(way); }
  void alias(StatusWay way, const std::string& text) { board.setAlias(way, text); }
  // The call on air this way ended, with what was measured of it.
  void ended(StatusWay way, const CallQuality& quality) { board.callEnded(way, quality); }
  // The partner chose a talk group.
  void talkGroup(uint32_t group);
  // A datagram or message the voice path dropped, counted on the board.
  void count(StatusCounter counter) { board.count(counter); }

 private:
  StatusBoard& board;
  SystemdNotifier& notifier;
};
