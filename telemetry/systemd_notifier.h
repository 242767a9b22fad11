// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's messages to systemd's service manager: readiness, the watchdog
// ping, a one-line status for `systemctl status` and the stop notice, each one
// datagram of text on an AF_UNIX socket to the address in NOTIFY_SOCKET (a path,
// or an abstract name written with a leading @). Everything is a no-op until
// start() has found a usable NOTIFY_SOCKET in the environment, so a daemon run by
// hand or by a test behaves as before. The notifier owns its one socket. The
// status setters are safe from any thread (one mutex guards the status and
// orders its sends) and send only when the text changed. tick and watchedWait
// belong to the network thread, the only thread that pings the watchdog: a hung
// network loop is what the watchdog is there to catch.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <string>

#include "base/mutex.h"
#include "base/unique_fd.h"

class SystemdNotifier {
 public:
  enum class Link { Starting, LoggingIn, LoggedIn, GaveUp };
  enum class Way { FromNetwork, ToNetwork };
  // One slice of a wait: waits at most that many milliseconds, true when it ended early.
  using WaitFn = std::function<bool(int milliseconds)>;

  // Main thread, before any other thread exists: reads NOTIFY_SOCKET and the
  // watchdog period asked for this process (WATCHDOG_USEC, WATCHDOG_PID), and
  // opens the socket. A value it cannot use is logged as a warning and leaves the
  // notifier (or its watchdog) off.
  void start();
  bool enabled() const { return active; }
  // 0 when systemd asked for no watchdog.
  int64_t watchdogMicroseconds() const { return watchdogUsec; }

  void ready() EXCLUDES(statusMutex);     // READY=1 with the current status
  void stopping() EXCLUDES(statusMutex);  // STOPPING=1

  // Network thread, once per pass of its loop: pings the watchdog when a quarter
  // of its period has gone by since the last ping. Cheap otherwise: one clock read.
  void tick();
  // Network thread: waits through wait for up to milliseconds in all, in slices
  // that end in time for the next ping, and ticks before each slice. Returns true
  // as soon as a slice does, false when the whole time went by. Without a watchdog
  // it is one call of wait with the whole time.
  bool watchedWait(int milliseconds, const WaitFn& wait);

  // The parts of the status line. host and port are copied; reason may be null.
  void setLink(Link state, const char* host, const char* port, const char* reason = nullptr) EXCLUDES(statusMutex);
  void setTalkGroup(uint32_t talkGroup) EXCLUDES(statusMutex);
  // The latest call each way; callsign may be null or empty. The time is now.
  void setCall(Way way, uint32_t source, const char* callsign, uint32_t destination, bool privateCall)
      EXCLUDES(statusMutex);
  // Only a daemon with a broker configured says anything about one.
  void setBroker(bool connected) EXCLUDES(statusMutex);
  // A named instance starts each status line with its name ("ts2: Logged in
  // to ..."). Main thread, before any other thread exists.
  void setName(const std::string& instanceName);

  std::string statusText() const EXCLUDES(statusMutex);

 private:
  struct Call {
    bool seen = false;
    uint32_t source = 0, destination = 0;
    bool privateCall = false;
    std::string callsign;
    long long when = 0;  // seconds since the epoch
  };

  std::string renderLocked() const REQUIRES(statusMutex);
  void sendStatusLocked() REQUIRES(statusMutex);
  void send(const std::string& message) const;

  bool active = false;      // written by start only
  int64_t watchdogUsec = 0;  // likewise
  UniqueFd socketFd;         // likewise; sent on from any thread
  sockaddr_un address{};     // likewise
  socklen_t addressLength = 0;
  std::string prefix;        // "name: " or empty; written before the threads start
  int64_t lastPingUsec = 0;  // network thread only

  mutable Mutex statusMutex;
  Link link GUARDED_BY(statusMutex) = Link::Starting;
  std::string host GUARDED_BY(statusMutex), port GUARDED_BY(statusMutex), reason GUARDED_BY(statusMutex);
  uint32_t talkGroup GUARDED_BY(statusMutex) = 0;
  Call calls[2] GUARDED_BY(statusMutex);
  int broker GUARDED_BY(statusMutex) = -1;  // -1 none configured, 0 not connected, 1 connected
  std::string lastSent GUARDED_BY(statusMutex);
};
