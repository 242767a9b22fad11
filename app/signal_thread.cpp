// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/signal_thread.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "app/czelk.h"
#include "telemetry/log_class.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

namespace {

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

using Handler = std::function<void(int)>;

void* signalLoop(void* handler) {
  pthread_setname_np(pthread_self(), "signals");
  const Handler& handle = *static_cast<const Handler*>(handler);
  sigset_t set = handledSignals();
  for (;;) {
    int signalNumber = 0;
    if (sigwait(&set, &signalNumber) == 0) handle(signalNumber);
  }
  return nullptr;
}

}  // namespace

void SignalThread::blockSignals() {
  sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SignalThread::start(std::function<void(int)> handler) {
  signal(SIGPIPE, SIG_IGN);
  // The thread keeps its handler until the process ends: it never stops.
  std::unique_ptr<Handler> kept(new Handler(std::move(handler)));
  pthread_t thread;
  if (pthread_create(&thread, nullptr, signalLoop, kept.get()) != 0) return false;
  kept.release();
  pthread_detach(thread);
  return true;
}

void sigHandler(int signalNumber, SystemdNotifier& notifier) {
  if (signalNumber == SIGHUP) {
    logInstance.logClose();
    return;
  }
  logInstance.log(LOG_INFO, "Signal %d received, exiting %s\n", signalNumber, ZELK_NAME);
  CZELK::exitIfRunning(0);  // returns only when there is no bridge
  logInstance.log(LOG_INFO, "No object to close\n");
  notifier.stopping();
  fflush(stdout);
  _exit(0);
}
