// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/signal_thread.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

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

void (*signalHandler)(int) = nullptr;

void* signalLoop(void*) {
  pthread_setname_np(pthread_self(), "signals");
  sigset_t set = handledSignals();
  for (;;) {
    int signalNumber = 0;
    if (sigwait(&set, &signalNumber) == 0) signalHandler(signalNumber);
  }
  return nullptr;
}

}  // namespace

void SignalThread::blockSignals() {
  sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SignalThread::start(void (*handler)(int)) {
  signalHandler = handler;
  signal(SIGPIPE, SIG_IGN);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, signalLoop, nullptr) != 0) return false;
  pthread_detach(thread);
  return true;
}

void sigHandler(int signalNumber) {
  if (signalNumber == SIGHUP) {
    logInstance.logClose();
    return;
  }
  logInstance.log(LOG_INFO, "Signal %d received, exiting %s\n", signalNumber, ZELK_NAME);
  CZELK::exitIfRunning(0);  // returns only when there is no bridge
  logInstance.log(LOG_INFO, "No object to close\n");
  systemdNotifier.stopping();
  fflush(stdout);
  _exit(0);
}
