// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/systemd_notifier.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/clock.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"

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

// A whole decimal number from 1 to limit, digits only (systemd writes nothing else).
bool parsePositive(const char* text, uint64_t limit, uint64_t* value) {
  uint64_t number = 0;
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    unsigned digit = static_cast<unsigned>(*c - '0');
    if (number > (limit - digit) / 10) return false;
    number = number * 10 + digit;
  }
  *value = number;
  return number > 0;
}

// The socket address a NOTIFY_SOCKET value names: an absolute path, sent with its
// terminating NUL, or "@name" for the abstract name, sent as a leading NUL and the
// name's bytes with no terminator (the length tells where it ends; a trailing NUL
// would be part of another name). False for anything else: a relative path, an
// empty name or one that does not fit.
bool notifyAddress(const char* text, sockaddr_un* address, socklen_t* length) {
  const size_t size = strlen(text);
  const bool abstract = text[0] == '@';
  if (size < 2 || (text[0] != '/' && !abstract)) return false;
  const size_t used = abstract ? size : size + 1;
  if (used > sizeof(address->sun_path)) return false;
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, text, used);
  if (abstract) address->sun_path[0] = '\0';
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + used);
  return true;
}

}  // namespace

void SystemdNotifier::start() {
  active = false;
  watchdogUsec = 0;
  socketFd.reset();
  lastPingUsec = monotonicMicroseconds();
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr) return;
  if (!notifyAddress(name, &address, &addressLength)) {
    logInstance.log(LOG_WARNING,
                    "NOTIFY_SOCKET \"%s\" is neither an absolute path nor an @name that fits a socket address: "
                    "nothing is reported to systemd\n",
                    escapeControls(name).c_str());
    return;
  }
  socketFd.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socketFd.valid()) {
    logInstance.log(LOG_WARNING, "Can not open a socket for systemd's notifications (%s): nothing is reported\n",
                    strerror(errno));
    return;
  }
  active = true;

  // The watchdog is ours when systemd asked for one and named no other process.
  const char* period = getenv("WATCHDOG_USEC");
  if (period == nullptr) return;
  uint64_t usec = 0, pid = 0;
  const char* forPid = getenv("WATCHDOG_PID");
  if (!parsePositive(period, INT64_MAX, &usec) ||
      (forPid != nullptr && !parsePositive(forPid, static_cast<uint64_t>(INT32_MAX), &pid))) {
    logInstance.log(LOG_WARNING, "WATCHDOG_USEC \"%s\" or WATCHDOG_PID \"%s\" is not usable: no watchdog pings\n",
                    escapeControls(period).c_str(), forPid != nullptr ? escapeControls(forPid).c_str() : "(unset)");
    return;
  }
  if (forPid == nullptr || pid == static_cast<uint64_t>(getpid())) watchdogUsec = static_cast<int64_t>(usec);
}

void SystemdNotifier::send(const std::string& message) const {
  if (!active) return;
  // Nothing to do about a notification that does not go out: the daemon's work
  // goes on, and a lost watchdog ping is systemd's to act on.
  sendto(socketFd.get(), message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
         addressLength);
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
  lastSent = prefix + "Stopping";
  send("STOPPING=1\nSTATUS=" + lastSent);
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

void SystemdNotifier::setName(const std::string& instanceName) {
  // Escaped like every other part: a line break would start another assignment.
  prefix = instanceName.empty() ? "" : escapeControls(instanceName.c_str()) + ": ";
}

std::string SystemdNotifier::renderLocked() const {
  std::string text = prefix;
  switch (link) {
    case Link::Starting:
      text += "Starting";
      break;
    case Link::LoggingIn:
      text += "Logging in to " + endpoint(host, port);
      if (!reason.empty()) text += " (last try: " + reason + ")";
      break;
    case Link::LoggedIn:
      text += "Logged in to " + endpoint(host, port) + ", TG " + std::to_string(talkGroup);
      break;
    case Link::GaveUp:
      text += "Gave up logging in to " + endpoint(host, port);
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
