// SPDX-License-Identifier: GPL-2.0-or-later
// Signal handling. SIGINT, SIGTERM and SIGHUP are blocked in every thread (call
// blockSignals first thing in main, before any thread exists, so that every thread
// inherits the mask) and taken by one dedicated thread with sigwait, which runs
// sigHandler outside any asynchronous signal context: it may log, lock and sleep.
#pragma once

#include <functional>

class SystemdNotifier;

class SignalThread {
 public:
  static void blockSignals();
  // Ignores SIGPIPE and starts the thread that hands each signal to the handler,
  // which it keeps for the life of the process.
  static bool start(std::function<void(int)> handler);
};

// SIGHUP closes the log file (the next line reopens it); SIGINT and SIGTERM end
// the daemon through the bridge's exitApp, or at once with status 0 when no
// bridge exists yet. The notifier tells systemd the daemon is stopping.
void sigHandler(int signalNumber, SystemdNotifier& notifier);
