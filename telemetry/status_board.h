// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's live status for the operator: the link, the talk group, the
// calls heard each way, the broker and the counters, kept for the status page,
// /status.json, /metrics and the MQTT status. The voice threads and the MQTT
// thread write it; the HTTP server and the MQTT status publisher read copies.
//
// Locking: one short Mutex. Writers hold it for a few field stores; snapshot()
// holds it only for the copy of a bounded record (at most 20 calls of short
// strings), never across any I/O, so a slow or stalled HTTP client can never
// make a voice thread wait: the server copies first and writes afterwards. The
// per-frame counters are relaxed atomics and take no lock at all. A seqlock
// would spare the copy's lock too, but its racy reads of strings are undefined
// behaviour and what ThreadSanitizer rightly reports; the copy is microseconds.
// Every call is safe from any thread.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "base/call_quality.h"
#include "base/clock.h"
#include "base/mutex.h"

enum class StatusLink { Starting, LoggingIn, LoggedIn, Lost, Reconnecting, GaveUp };
enum class StatusWay { FromNetwork, ToNetwork };
enum class StatusBroker { Off, Connected, Reconnecting };

// The events counted for /metrics (each only ever grows).
enum class StatusCounter {
  LoginSucceeded,
  LoginFailed,
  ServerLost,        // the server went quiet and the link was given up as lost
  Reconnect,         // a reconnect the partner ordered was served
  DroppedStranger,   // a datagram from someone who is not our peer
  DroppedMalformed,  // a datagram or message from our peer that could not be used
  Count_
};

// What the listener is told about.
enum class StatusChange { Link, Server, TalkGroup, CallBegan, CallEnded };

// One call, as last heard shows it.
struct StatusCall {
  StatusWay way = StatusWay::FromNetwork;
  uint32_t source = 0;
  uint32_t destination = 0;  // the talk group, or the target of a private call
  bool privateCall = false;
  std::string callsign, name;  // from the subscriber file or the call's metadata; may be empty
  std::string alias;           // the talker alias, when one was decoded or sent
  int64_t startUnixMs = 0;     // wall clock, UTC
  int64_t durationMs = 0;      // at its end; while on air, how long so far
  uint64_t frames = 0;         // voice frames carried so far
  CallQuality quality;         // what was measured of the call, at its end
  bool onAir = false;
};

// Upper bounds (ms) of the buckets of the network calls' jitter, +Inf beyond.
constexpr double kStatusJitterBucketsMs[] = {1, 2, 5, 10, 20, 50, 100, 200};
constexpr size_t kStatusJitterBuckets = sizeof(kStatusJitterBucketsMs) / sizeof(kStatusJitterBucketsMs[0]);

// The figures of the network calls ended so far, summed, and the jitter of
// those of at least two bursts, by bucket (not cumulative; the last is +Inf).
struct StatusNetworkQuality {
  uint64_t lost = 0, duplicates = 0, outOfOrder = 0, late = 0, filled = 0;
  uint64_t jitterCalls[kStatusJitterBuckets + 1] = {};
  double jitterSumMs = 0;
};

struct StatusCounters {
  uint64_t framesFromNetwork = 0, framesToNetwork = 0;
  uint64_t callsFromNetwork = 0, callsToNetwork = 0;
  uint64_t counts[static_cast<int>(StatusCounter::Count_)] = {};
  uint64_t droppedLogLines = 0;
  StatusNetworkQuality network;

  uint64_t count(StatusCounter c) const { return counts[static_cast<int>(c)]; }
};

// A plain copy of the whole board.
struct StatusSnapshot {
  std::string version;
  std::string name;       // the instance's name, empty when it has none
  int64_t startUnix = 0;  // when the process started, seconds since the epoch
  int64_t nowUnixMs = 0;  // when the copy was taken
  StatusLink link = StatusLink::Starting;
  std::string host, port;    // the server in use (or being tried)
  int attempt = 0;           // the login attempt, from 1; 0 before the first
  std::string reason;        // why the last attempt failed, or empty
  int64_t loggedInUnix = 0;  // since when logged in; 0 when not
  uint32_t talkGroup = 0;    // 0 before the first subscription
  StatusBroker broker = StatusBroker::Off;
  std::vector<StatusCall> lastHeard;  // newest first, at most kLastHeard; calls on air marked
  StatusCounters counters;
};

class StatusBoard {
 public:
  static constexpr size_t kLastHeard = 20;
  // Longest text kept of a callsign, name or alias; longer ones are cut.
  static constexpr size_t kMaxText = 64;

  // Told of a change of link state, server, talk group, and of each call's
  // start and end, on the writer's thread right after the change, with a copy
  // of the board and, for a call, the call (else null). It runs outside the
  // board's lock and outside any lock the HTTP side takes, and it must not
  // block: it runs on a voice thread. Set once, before the threads start.
  using Listener = std::function<void(StatusChange, const StatusSnapshot&, const StatusCall*)>;
  StatusBoard();
  StatusBoard(const StatusBoard&) = delete;
  StatusBoard& operator=(const StatusBoard&) = delete;

  void setListener(Listener listener);
  // The clock of the board: its wall time dates the start, the logins and the
  // calls, its monotonic time measures the calls (the system's unless set). Set
  // before the threads start; the start's date is taken again.
  void setClock(Clock source);
  // The name the daemon shows itself by, empty for none. Set before the threads start.
  void setName(const std::string& instanceName) { name = instanceName; }

  // The link. host and port are copied; reason may be null. attempt counts from
  // 1 while logging in and is kept as it is when 0 is given.
  void setLink(StatusLink state, const char* host, const char* port, int attempt = 0, const char* reason = nullptr)
      EXCLUDES(mutex);
  void setTalkGroup(uint32_t talkGroup) EXCLUDES(mutex);
  void setBroker(StatusBroker state) EXCLUDES(mutex);

  // A call began this way: a call still on air this way ends first. callsign and
  // name may be null or empty.
  void callBegan(StatusWay way, uint32_t source, uint32_t destination, bool privateCall, const char* callsign,
                 const char* name) EXCLUDES(mutex);
  // Fills in what was learnt after the start (the metadata's callsign and name);
  // null or empty leaves a field as it is. Nothing happens without a call on air.
  void setCaller(StatusWay way, const char* callsign, const char* name) EXCLUDES(mutex);
  void setAlias(StatusWay way, const std::string& alias) EXCLUDES(mutex);
  // The call on air this way ended; its duration is measured from its start
  // unless durationMs >= 0 gives it. Nothing happens without a call on air.
  void callEnded(StatusWay way, int64_t durationMs = -1) EXCLUDES(mutex);
  // Likewise, keeping what was measured of the call; a network call's figures
  // are added to the totals.
  void callEnded(StatusWay way, const CallQuality& quality, int64_t durationMs = -1) EXCLUDES(mutex);

  // Lock-free: one voice frame carried this way, an event counted, log lines
  // the broker dropped.
  void frame(StatusWay way) { frames[index(way)].fetch_add(1, std::memory_order_relaxed); }
  void count(StatusCounter c) { counts[static_cast<int>(c)].fetch_add(1, std::memory_order_relaxed); }
  void droppedLogLines(uint64_t n) { droppedLines.fetch_add(n, std::memory_order_relaxed); }

  StatusSnapshot snapshot() const EXCLUDES(mutex);

 private:
  struct OnAir {
    bool active = false;
    int64_t startMonotonicMs = 0;
    uint64_t framesAtStart = 0;
    StatusCall call;
  };

  static int index(StatusWay way) { return way == StatusWay::FromNetwork ? 0 : 1; }
  StatusSnapshot copyLocked() const REQUIRES(mutex);
  void endLocked(int way, int64_t durationMs, const CallQuality& quality, StatusCall* ended) REQUIRES(mutex);
  void addLocked(const CallQuality& quality) REQUIRES(mutex);
  void notify(StatusChange change, const StatusCall* call) EXCLUDES(mutex);

  Listener listener;  // written before the threads start
  int64_t wallMs() const { return clock.wallMs(); }
  int64_t monotonicMs() const { return clock.monotonicMs(); }

  Clock clock;       // written before the threads start
  std::string name;  // likewise
  int64_t startUnix = 0;

  std::atomic<uint64_t> frames[2] = {};
  std::atomic<uint64_t> calls[2] = {};
  std::atomic<uint64_t> counts[static_cast<int>(StatusCounter::Count_)] = {};
  std::atomic<uint64_t> droppedLines{0};

  mutable Mutex mutex;
  StatusLink link GUARDED_BY(mutex) = StatusLink::Starting;
  std::string host GUARDED_BY(mutex), port GUARDED_BY(mutex), reason GUARDED_BY(mutex);
  int attempt GUARDED_BY(mutex) = 0;
  int64_t loggedInUnix GUARDED_BY(mutex) = 0;
  uint32_t talkGroup GUARDED_BY(mutex) = 0;
  StatusBroker broker GUARDED_BY(mutex) = StatusBroker::Off;
  OnAir onAir[2] GUARDED_BY(mutex);
  StatusNetworkQuality networkQuality GUARDED_BY(mutex);
  // Ended calls, a ring of kLastHeard, newest at heardNext - 1.
  StatusCall heard[kLastHeard] GUARDED_BY(mutex);
  size_t heardCount GUARDED_BY(mutex) = 0, heardNext GUARDED_BY(mutex) = 0;
};

const char* statusLinkName(StatusLink link);    // "starting", "logging in", "logged in", ...
const char* statusBrokerName(StatusBroker b);   // "off", "connected", "reconnecting"
const char* statusWayName(StatusWay way);       // "from the network", "to the network"
