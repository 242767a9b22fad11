// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/systemd_notifier.h"

#include <stdio.h>
#include <stdlib.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>

#include "base/clock.h"
#include "telemetry/control_escape.h"

SystemdNotifier systemdNotifier;

namespace {

std::string endpoint(const std::string& host, const std::string& port) {
  // An IPv6 address reads unambiguously only in brackets.
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + port;
  return host + ":" + port;
}

std::string utcTime(long long seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm broken;
  char text[32];
  gmtime_r(&t, &broken);
  strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &broken);
  return text;
}

}  // namespace

void SystemdNotifier::start() {
  active = getenv("NOTIFY_SOCKET") != nullptr;
  watchdogUsec = 0;
  uint64_t usec = 0;
  if (active && sd_watchdog_enabled(0, &usec) > 0) watchdogUsec = static_cast<int64_t>(usec);
  lastPingUsec = monotonicMicroseconds();
}

void SystemdNotifier::send(const std::string& message) const {
  if (active) sd_notify(0, message.c_str());
}

void SystemdNotifier::ready() {
  if (!active) return;
  MutexLock lock(statusMutex);
  lastSent = renderLocked();
  send("READY=1\nSTATUS=" + lastSent);
}

void SystemdNotifier::stopping() {
  if (!active) return;
  MutexLock lock(statusMutex);
  lastSent = "Stopping";
  send("STOPPING=1\nSTATUS=Stopping");
}

void SystemdNotifier::tick() {
  if (watchdogUsec <= 0) return;
  int64_t now = monotonicMicroseconds();
  // A quarter leaves a pass of the loop as long again before half the period is up.
  if (now - lastPingUsec < watchdogUsec / 4) return;
  send("WATCHDOG=1");
  lastPingUsec = now;
}

bool SystemdNotifier::watchedWait(int milliseconds, const WaitFn& wait) {
  if (watchdogUsec <= 0) return wait(milliseconds);
  const int64_t end = monotonicMicroseconds() + static_cast<int64_t>(milliseconds) * 1000;
  for (;;) {
    tick();
    int64_t now = monotonicMicroseconds();
    int64_t slice = std::min(end - now, lastPingUsec + watchdogUsec / 4 - now);
    // Whole milliseconds, rounded up, so the last piece of a wait is not a busy loop.
    if (wait(static_cast<int>((std::max<int64_t>(slice, 0) + 999) / 1000))) return true;
    if (monotonicMicroseconds() >= end) return false;
  }
}

void SystemdNotifier::setLink(Link state, const char* newHost, const char* newPort, const char* why) {
  if (!active) return;
  MutexLock lock(statusMutex);
  link = state;
  // The host and port may come from a partner's reconnect command and the callsign
  // from its metadata: a line break there would start another assignment of the
  // notification, so control bytes are escaped as in the log.
  host = escapeControls(newHost);
  port = escapeControls(newPort);
  reason = escapeControls(why);
  sendStatusLocked();
}

void SystemdNotifier::setTalkGroup(uint32_t group) {
  if (!active) return;
  MutexLock lock(statusMutex);
  talkGroup = group;
  sendStatusLocked();
}

void SystemdNotifier::setCall(Way way, uint32_t source, const char* callsign, uint32_t destination,
                              bool privateCall) {
  if (!active) return;
  MutexLock lock(statusMutex);
  Call& call = calls[way == Way::FromNetwork ? 0 : 1];
  call.seen = true;
  call.source = source;
  call.destination = destination;
  call.privateCall = privateCall;
  call.callsign = escapeControls(callsign);
  call.when = static_cast<long long>(time(nullptr));
  sendStatusLocked();
}

void SystemdNotifier::setBroker(bool connected) {
  if (!active) return;
  MutexLock lock(statusMutex);
  broker = connected ? 1 : 0;
  sendStatusLocked();
}

std::string SystemdNotifier::statusText() const {
  MutexLock lock(statusMutex);
  return renderLocked();
}

void SystemdNotifier::sendStatusLocked() {
  std::string text = renderLocked();
  if (text == lastSent) return;
  lastSent = text;
  send("STATUS=" + text);
}

std::string SystemdNotifier::renderLocked() const {
  std::string text;
  switch (link) {
    case Link::Starting:
      text = "Starting";
      break;
    case Link::LoggingIn:
      text = "Logging in to " + endpoint(host, port);
      if (!reason.empty()) text += " (last try: " + reason + ")";
      break;
    case Link::LoggedIn:
      text = "Logged in to " + endpoint(host, port) + ", TG " + std::to_string(talkGroup);
      break;
    case Link::GaveUp:
      text = "Gave up logging in to " + endpoint(host, port);
      if (!reason.empty()) text += " (" + reason + ")";
      break;
  }
  static const char* const kWays[2] = {"from network", "to network"};
  for (int i = 0; i < 2; ++i) {
    const Call& call = calls[i];
    if (!call.seen) continue;
    text += std::string("; last call ") + kWays[i] + ": " + std::to_string(call.source);
    if (!call.callsign.empty()) text += " " + call.callsign;
    text += (call.privateCall ? " to ID " : " to TG ") + std::to_string(call.destination);
    text += " at " + utcTime(call.when);
  }
  if (broker >= 0) text += broker == 1 ? "; broker connected" : "; broker not connected";
  return text;
}
