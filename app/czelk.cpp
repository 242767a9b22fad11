// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/czelk.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "app/setting_lists.h"
#include "app/settings.h"
#include "base/thread_entry.h"
#include "local/tlv_event.h"
#include "local/tlv_receiver.h"
#include "network/odmr_connection.h"
#include "network/odmrtp_class.h"
#include "support/cudp.h"
#include "support/voice_priority.h"
#include "telemetry/log_class.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

std::atomic<CZELK*> g_zelk{nullptr};

namespace {

// Held by the signal thread from reading g_zelk until the process ends, and by the
// destructor while it clears g_zelk: a signal never reaches a bridge being destroyed.
Mutex bridgeLifetime;

}  // namespace

CZELK::CZELK(Settings_t* configuration, StatusBoard& board, SystemdNotifier& notifier)
    : components(configuration, doneFlag, board, notifier) {
  int pipeError = components.reconnect.openError() != 0 ? components.reconnect.openError() : stopPipe.openError();
  if (pipeError != 0) {
    logInstance.log(LOG_FATAL, "Error creating the wake-up pipes: %s\n", strerror(pipeError));
    doneFlag = true;
    return;
  }
  // A bridge that cannot hear its partner does not start: another one (or any
  // other program) holds the port, and that one carries on untouched.
  if (components.localLink->bindError() != 0) {
    int error = components.localLink->bindError();
    logInstance.log(LOG_ERROR, "%s, RXPort = %u: can not bind the port, error code = %d (%s).  Fatal error exiting\n",
                    "DMR", configuration->rxPort, error, strerror(error));
    doneFlag = true;
    return;
  }
  g_zelk = this;

  // The receiver and the dispatcher inherit the network thread's priority.
  raiseVoicePriority();
  if (pthread_create(&serviceTlvThread, nullptr, serviceTlvConnection, this) != 0) {
    logInstance.log(LOG_FATAL, "Error creating serviceTlvConnection thread\n");
    doneFlag = true;
    return;
  }
  receiverStarted = true;
  if (pthread_create(&processTlvThread, nullptr, processTlvQueue, this) != 0) {
    logInstance.log(LOG_FATAL, "Error creating processTlvQueue thread\n");
    doneFlag = true;
    return;
  }
  dispatcherStarted = true;

  // Configuration read, sockets open, threads running: the login is not waited for.
  components.notifier.ready();
  serviceODMRConnection(components.settings);
}

CZELK::~CZELK() {
  {
    MutexLock lifetime(bridgeLifetime);
    CZELK* self = this;
    g_zelk.compare_exchange_strong(self, nullptr);
  }
  MutexLock exiting(exitMutex);
  stopWorkers();
}

void CZELK::stopWorkers() {
  doneFlag = true;
  if (dispatcherStarted) {
    components.tlvQueue.stop();  // wakes the dispatcher's pop; it then sees doneFlag
    pthread_join(processTlvThread, nullptr);
    dispatcherStarted = false;
  }
  if (receiverStarted) {
    stopPipe.poke();
    pthread_join(serviceTlvThread, nullptr);
    receiverStarted = false;
  }
}

void* CZELK::serviceTlvConnection(void* object) { return runOperation(object, &CZELK::_serviceTlvConnection); }

void* CZELK::processTlvQueue(void* object) { return runOperation(object, &CZELK::_processTlvQueue); }

const char* CZELK::getAppName() {
  static char name[80];
  static std::once_flag once;
  std::call_once(once, [] { snprintf(name, sizeof(name), "%s_%s", ZELK_NAME, ZELK_VERSION); });
  return name;
}

void CZELK::sendDMREvent(const char* topic, const char* message) {
  sendTlvEvent(*components.localLink, topic, message);
}

void CZELK::exitIfRunning(int status) {
  MutexLock lifetime(bridgeLifetime);  // never unlocked once a bridge is found: exitApp ends the process
  CZELK* bridge = g_zelk.load();
  if (bridge == nullptr) return;
  bridge->exitApp(status);
}

void CZELK::exitApp(int status) {
  exitMutex.lock();  // never released: the process ends below
  logInstance.log(LOG_INFO, "exitApp\n");
  components.notifier.stopping();
  // The close packet is the last the server hears: the dispatcher's sends are
  // refused from here on.
  components.rewindClient->closeSession();
  sleep(2);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  fflush(stdout);
  _exit(status);
}

int CZELK::_serviceTlvConnection() {
  // The name is longer than Linux keeps (15 characters), so the thread keeps its own.
  pthread_setname_np(pthread_self(), "serviceTlvConnection");
  receiveTlvMessages(*components.localLink, components.tlvQueue, stopPipe.readFd(), doneFlag, components.board);
  return 0;
}

int CZELK::_processTlvQueue() {
  pthread_setname_np(pthread_self(), "processTlvQueue");
  components.dispatcher.run(components.tlvQueue, doneFlag);
  return 0;
}

void CZELK::serviceODMRConnection(Settings_t* settings) {
  ConnectionParts parts;
  parts.client = components.rewindClient.get();
  parts.link = &components.link;
  parts.handler = &components.handler;
  parts.reconnect = &components.reconnect;
  parts.partner = components.localLink.get();
  parts.board = &components.board;
  parts.notifier = &components.notifier;
  parts.processMessage = [this](RewindData* packet, int length) { processODMRMessage(packet, length); };
  parts.done = &doneFlag;
  parts.talkGroup = &components.currentTG;
  parts.host = settings->bmAddress;
  parts.port = settings->bmPort;
  parts.password = settings->bmPassword;
  std::string why;  // the start-up refused a bad list; here a bad one is no list
  if (!parseFallbackServers(settings->bmFallback, settings->bmPort, &parts.fallbacks, &why)) parts.fallbacks.clear();
  parts.startTG = settings->startTG;
  parts.userID = settings->userID;
  parts.appName = getAppName();
  serveRewindConnection(parts);
}

void CZELK::processODMRMessage(RewindData* packet, int length) { components.handler.process(packet, length); }
