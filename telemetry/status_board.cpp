// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_board.h"

#include <algorithm>

#include "version.h"

namespace {

std::string cut(const char* text) {
  if (text == nullptr) return std::string();
  std::string s(text);
  if (s.size() > StatusBoard::kMaxText) s.resize(StatusBoard::kMaxText);
  return s;
}

}  // namespace

StatusBoard::StatusBoard() { startUnix = wallMs() / 1000; }

void StatusBoard::setListener(Listener l) { listener = std::move(l); }

void StatusBoard::setClock(Clock source) {
  clock = source;
  startUnix = wallMs() / 1000;
}

void StatusBoard::setLink(StatusLink state, const char* newHost, const char* newPort, int newAttempt,
                          const char* why) {
  bool linkChanged = false, serverChanged = false;
  {
    MutexLock lock(mutex);
    const std::string h = newHost != nullptr ? newHost : "", p = newPort != nullptr ? newPort : "";
    linkChanged = state != link;
    serverChanged = h != host || p != port;
    if (state == StatusLink::LoggedIn && (linkChanged || serverChanged)) loggedInUnix = wallMs() / 1000;
    if (state != StatusLink::LoggedIn) loggedInUnix = 0;
    link = state;
    host = h;
    port = p;
    if (newAttempt > 0) attempt = newAttempt;
    reason = why != nullptr ? why : "";
  }
  if (linkChanged) notify(StatusChange::Link, nullptr);
  if (serverChanged) notify(StatusChange::Server, nullptr);
}

void StatusBoard::setTalkGroup(uint32_t group) {
  {
    MutexLock lock(mutex);
    if (group == talkGroup) return;
    talkGroup = group;
  }
  notify(StatusChange::TalkGroup, nullptr);
}

void StatusBoard::setBroker(StatusBroker state) {
  MutexLock lock(mutex);
  broker = state;
}

void StatusBoard::callBegan(StatusWay way, uint32_t source, uint32_t destination, bool privateCall,
                            const char* callsign, const char* name) {
  const int w = index(way);
  StatusCall ended, began;
  bool hadOne = false;
  {
    MutexLock lock(mutex);
    hadOne = onAir[w].active;
    if (hadOne) endLocked(w, -1, CallQuality(), &ended);
    OnAir& a = onAir[w];
    a.active = true;
    a.startMonotonicMs = monotonicMs();
    a.framesAtStart = frames[w].load(std::memory_order_relaxed);
    a.call = StatusCall();
    a.call.way = way;
    a.call.source = source;
    a.call.destination = destination;
    a.call.privateCall = privateCall;
    a.call.callsign = cut(callsign);
    a.call.name = cut(name);
    a.call.startUnixMs = wallMs();
    a.call.onAir = true;
    began = a.call;
  }
  calls[w].fetch_add(1, std::memory_order_relaxed);
  if (hadOne) notify(StatusChange::CallEnded, &ended);
  notify(StatusChange::CallBegan, &began);
}

void StatusBoard::setCaller(StatusWay way, const char* callsign, const char* name) {
  MutexLock lock(mutex);
  OnAir& a = onAir[index(way)];
  if (!a.active) return;
  if (callsign != nullptr && *callsign != '\0') a.call.callsign = cut(callsign);
  if (name != nullptr && *name != '\0') a.call.name = cut(name);
}

void StatusBoard::setAlias(StatusWay way, const std::string& alias) {
  MutexLock lock(mutex);
  OnAir& a = onAir[index(way)];
  if (!a.active) return;
  a.call.alias = cut(alias.c_str());
}

void StatusBoard::callEnded(StatusWay way, int64_t durationMs) { callEnded(way, CallQuality(), durationMs); }

void StatusBoard::callEnded(StatusWay way, const CallQuality& quality, int64_t durationMs) {
  StatusCall ended;
  {
    MutexLock lock(mutex);
    const int w = index(way);
    if (!onAir[w].active) return;
    endLocked(w, durationMs, quality, &ended);
    if (way == StatusWay::FromNetwork) addLocked(quality);
  }
  notify(StatusChange::CallEnded, &ended);
}

void StatusBoard::endLocked(int w, int64_t durationMs, const CallQuality& quality, StatusCall* ended) {
  OnAir& a = onAir[w];
  a.call.quality = quality;
  a.active = false;
  a.call.onAir = false;
  a.call.durationMs = durationMs >= 0 ? durationMs : std::max<int64_t>(0, monotonicMs() - a.startMonotonicMs);
  a.call.frames = frames[w].load(std::memory_order_relaxed) - a.framesAtStart;
  heard[heardNext] = a.call;
  heardNext = (heardNext + 1) % kLastHeard;
  if (heardCount < kLastHeard) ++heardCount;
  *ended = a.call;
}

void StatusBoard::addLocked(const CallQuality& q) {
  StatusNetworkQuality& n = networkQuality;
  n.lost += q.lost;
  n.duplicates += q.duplicates;
  n.outOfOrder += q.outOfOrder;
  n.late += q.late;
  n.filled += q.filled;
  if (q.frames < 2) return;  // no jitter without two bursts
  size_t bucket = 0;
  while (bucket < kStatusJitterBuckets && q.jitterMs > kStatusJitterBucketsMs[bucket]) ++bucket;
  ++n.jitterCalls[bucket];
  n.jitterSumMs += q.jitterMs;
}

StatusSnapshot StatusBoard::snapshot() const {
  MutexLock lock(mutex);
  return copyLocked();
}

StatusSnapshot StatusBoard::copyLocked() const {
  StatusSnapshot s;
  s.version = ZELK_VERSION;
  s.name = name;
  s.startUnix = startUnix;
  s.nowUnixMs = wallMs();
  s.link = link;
  s.host = host;
  s.port = port;
  s.attempt = attempt;
  s.reason = reason;
  s.loggedInUnix = loggedInUnix;
  s.talkGroup = talkGroup;
  s.broker = broker;
  s.lastHeard.reserve(kLastHeard + 2);
  const int64_t now = monotonicMs();
  for (int w = 0; w < 2; ++w) {
    if (!onAir[w].active) continue;
    StatusCall c = onAir[w].call;
    c.durationMs = std::max<int64_t>(0, now - onAir[w].startMonotonicMs);
    c.frames = frames[w].load(std::memory_order_relaxed) - onAir[w].framesAtStart;
    s.lastHeard.push_back(std::move(c));
  }
  for (size_t i = 0; i < heardCount; ++i) s.lastHeard.push_back(heard[(heardNext + kLastHeard - 1 - i) % kLastHeard]);
  std::stable_sort(s.lastHeard.begin(), s.lastHeard.end(),
                   [](const StatusCall& a, const StatusCall& b) { return a.startUnixMs > b.startUnixMs; });
  if (s.lastHeard.size() > kLastHeard) s.lastHeard.resize(kLastHeard);
  StatusCounters& c = s.counters;
  c.framesFromNetwork = frames[0].load(std::memory_order_relaxed);
  c.framesToNetwork = frames[1].load(std::memory_order_relaxed);
  c.callsFromNetwork = calls[0].load(std::memory_order_relaxed);
  c.callsToNetwork = calls[1].load(std::memory_order_relaxed);
  for (int i = 0; i < static_cast<int>(StatusCounter::Count_); ++i) c.counts[i] = counts[i].load(std::memory_order_relaxed);
  c.droppedLogLines = droppedLines.load(std::memory_order_relaxed);
  c.network = networkQuality;
  return s;
}

void StatusBoard::notify(StatusChange change, const StatusCall* call) {
  if (!listener) return;
  const StatusSnapshot copy = snapshot();
  listener(change, copy, call);
}

const char* statusLinkName(StatusLink link) {
  switch (link) {
    case StatusLink::Starting: return "starting";
    case StatusLink::LoggingIn: return "logging in";
    case StatusLink::LoggedIn: return "logged in";
    case StatusLink::Lost: return "lost";
    case StatusLink::Reconnecting: return "reconnecting";
    case StatusLink::GaveUp: return "gave up";
  }
  return "unknown";
}

const char* statusBrokerName(StatusBroker b) {
  switch (b) {
    case StatusBroker::Off: return "off";
    case StatusBroker::Connected: return "connected";
    case StatusBroker::Reconnecting: return "reconnecting";
  }
  return "unknown";
}

const char* statusWayName(StatusWay way) {
  return way == StatusWay::FromNetwork ? "from the network" : "to the network";
}
