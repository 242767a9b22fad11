// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/czelk.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "app/settings.h"
#include "local/tlv_class.h"
#include "network/odmrtp_class.h"
#include "support/cudp.h"
#include "support/subscriber.h"
#include "support/voice_priority.h"
#include "telemetry/log_class.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

std::atomic<CZELK*> g_zelk{nullptr};

namespace {

// Held by the signal thread from reading g_zelk until the process ends, and by the
// destructor while it clears g_zelk: a signal never reaches a bridge being destroyed.
std::mutex bridgeLifetime;

bool openPipe(int fds[2]) { return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

void closePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

void poke(int fd) {
  if (fd >= 0 && write(fd, "x", 1) != 1) {
    // The pipe is full: a wake-up is already pending.
  }
}

}  // namespace

CZELK::CZELK(Settings_t* configuration, ComponentsOnly) : settings(configuration) { createComponents(); }

CZELK::CZELK(Settings_t* configuration) : settings(configuration) {
  createComponents();
  if (doneFlag) return;
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
  systemdNotifier.ready();
  serviceODMRConnection(settings);
}

void CZELK::createComponents() {
  doneFlag = false;
  callType = 0;
  txFrameCount = 0;
  currentTG = settings->startTG;

  alias.setTaString(settings->talkerAlias != nullptr ? settings->talkerAlias : "");
  alias.encode(settings->talkerAlias != nullptr ? settings->talkerAlias : "");

  if (settings->subscriberFile != nullptr) subscribers.reset(new Subscriber(settings->subscriberFile));

  localLink.reset(new CUDP(settings->address, static_cast<int>(settings->rxPort), static_cast<int>(settings->txPort), 1));

  // The client exists before any worker thread, so no thread ever finds it missing.
  rewindClient.reset(new ODMRTP_CLASS(settings->userID, getAppName()));
  if (!rewindClient->hasContext()) {
    logInstance.log(LOG_ERROR, "%s, Cannot open the Rewind client socket\n", "DMR");
  }

  if (!openPipe(wakePipe) || !openPipe(stopPipe)) {
    logInstance.log(LOG_FATAL, "Error creating the wake-up pipes: %s\n", strerror(errno));
    doneFlag = true;
  }
}

CZELK::~CZELK() {
  {
    std::lock_guard<std::mutex> lifetime(bridgeLifetime);
    CZELK* self = this;
    g_zelk.compare_exchange_strong(self, nullptr);
  }
  std::lock_guard<std::mutex> exiting(exitMutex);
  stopWorkers();
  closePipe(wakePipe);
  closePipe(stopPipe);
  // Messages the dispatcher never took.
  for (;;) {
    TLV_CLASS* left = nullptr;
    if (!tlvQueue.tryPop(left)) break;
    delete left;
  }
}

void CZELK::stopWorkers() {
  doneFlag = true;
  if (dispatcherStarted) {
    tlvQueue.push(nullptr);  // wakes the dispatcher's pop; it then sees doneFlag
    pthread_join(processTlvThread, nullptr);
    dispatcherStarted = false;
  }
  if (receiverStarted) {
    poke(stopPipe[1]);
    pthread_join(serviceTlvThread, nullptr);
    receiverStarted = false;
  }
}

void* CZELK::serviceTlvConnection(void* object) {
  static_cast<CZELK*>(object)->_serviceTlvConnection();
  return nullptr;
}

void* CZELK::processTlvQueue(void* object) {
  static_cast<CZELK*>(object)->_processTlvQueue();
  return nullptr;
}

const char* CZELK::getAppName() {
  static char name[80];
  static std::once_flag once;
  std::call_once(once, [] { snprintf(name, sizeof(name), "%s_%s", ZELK_NAME, ZELK_VERSION); });
  return name;
}

void CZELK::sendDMREvent(const char* topic, const char* message) {
  unsigned char buffer[1024] = {0};
  buffer[0] = TAG_EVENT;
  int length = snprintf(reinterpret_cast<char*>(buffer) + 2, sizeof(buffer) - 2,
                        "{\"topic\":\"%s\",\"message\":\"%s\"}", topic, message);
  // The length byte counts the terminating zero, so the text holds 254 characters at most.
  if (length < 0 || length > 254) {
    logInstance.log(LOG_WARNING, "%s, event text too long for one message, not sent\n", "DMR");
    return;
  }
  buffer[1] = static_cast<unsigned char>(length + 1);
  localLink->writeSocket(buffer, static_cast<unsigned int>(length + 1 + 2));
}

void CZELK::exitIfRunning(int status) {
  std::unique_lock<std::mutex> lifetime(bridgeLifetime);
  CZELK* bridge = g_zelk.load();
  if (bridge == nullptr) return;
  lifetime.release();  // never unlocked: exitApp ends the process
  bridge->exitApp(status);
}

void CZELK::exitApp(int status) {
  exitMutex.lock();  // never released: the process ends below
  logInstance.log(LOG_INFO, "exitApp\n");
  systemdNotifier.stopping();
  // The close packet is the last the server hears: the dispatcher's sends are
  // refused from here on.
  if (rewindClient) rewindClient->closeSession();
  sleep(2);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  fflush(stdout);
  _exit(status);
}

// A reconnect ordered by the partner runs on the network thread, the only thread
// that waits on or replaces the client's socket. The dispatcher posts the request,
// wakes the network thread and waits for the result.
int CZELK::requestReconnect(const char* host, const char* port, const char* password, unsigned int talkGroup) {
  std::unique_lock<std::mutex> lock(reconnectMutex);
  reconnect.host = host;
  reconnect.port = port;
  reconnect.password = password;
  reconnect.talkGroup = talkGroup;
  reconnect.pending = true;
  reconnect.done = false;
  poke(wakePipe[1]);
  while (!reconnect.done) {
    if (doneFlag) return -1;
    reconnectDone.wait_for(lock, std::chrono::milliseconds(200));
  }
  return reconnect.result;
}

bool CZELK::drainWake() {
  char sink[64];
  bool woken = false;
  while (read(wakePipe[0], sink, sizeof(sink)) > 0) woken = true;
  return woken;
}

bool CZELK::serveReconnectRequest(bool* succeeded) {
  std::unique_lock<std::mutex> lock(reconnectMutex);
  if (!reconnect.pending) return false;
  ReconnectRequest request = reconnect;
  reconnect.pending = false;
  lock.unlock();

  int result = rewindClient->resetRewindContext(settings->userID, getAppName(), request.host.c_str(),
                                                request.port.c_str(), request.password.c_str(), request.talkGroup);
  if (result == 0) {
    link.loggedIn();
    systemdNotifier.setLink(SystemdNotifier::Link::LoggedIn, request.host.c_str(), request.port.c_str());
    systemdNotifier.setTalkGroup(request.talkGroup != 0 ? request.talkGroup : ODMRTP_CLASS::kDefaultTalkGroup);
  }
  if (succeeded != nullptr) *succeeded = result == 0;

  lock.lock();
  reconnect.result = result;
  reconnect.done = true;
  lock.unlock();
  reconnectDone.notify_all();
  return true;
}

void CZELK::setClock(MonotonicClock clock) { link.setClock(std::move(clock)); }
