// The network connection service of the bridge: logs in with up to three
// consecutive attempts, subscribes the current talk group, keeps the connection
// alive, notices a lost server and logs in again. Runs on the main thread.
#include <time.h>

#include "app/czelk.h"
#include "app/settings.h"
#include "network/odmrtp_class.h"
#include "network/rewind_data.h"
#include "telemetry/log_class.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

namespace {

constexpr int kMaxAttempts = 3;
constexpr int kWaitSeconds = 5;
constexpr int kLostAfterSeconds = 30;
constexpr int kKeepAliveEvery = 83;  // received datagrams per keep-alive under traffic
constexpr int kReceiveBufferSize = 64;

}  // namespace

void CZELK::serviceODMRConnection(Settings_t* s) {
  const char* host = s->bmAddress;
  const char* port = s->bmPort;
  const char* password = s->bmPassword;
  currentTG = s->startTG;
  int attempts = 0;

  // The packet buffer is aligned for RewindData and big enough for everything the
  // handler reads; longer datagrams are cut to it.
  alignas(RewindData) unsigned char buffer[kReceiveBufferSize];
  RewindData* packet = reinterpret_cast<RewindData*>(buffer);

  while (!doneFlag) {
    int result = -1;
    while (attempts < kMaxAttempts) {
      logInstance.log(LOG_INFO, "Connecting to %s server at address: %s:%s\n", ZELK_NAME, host, port);
      systemdNotifier.tick();
      systemdNotifier.setLink(SystemdNotifier::Link::LoggingIn, host, port,
                              attempts > 0 ? ODMRTP_CLASS::getErrorMessage(result) : nullptr);
      result = rewindClient->ConnectRewindClient(host, port, password, 0);
      logInstance.log(LOG_DEBUG, "Connect result = %d\n", result);
      if (result == 0) break;
      rewindClient->shutdownServer();
      logInstance.log(LOG_ERROR, "Error logging into BM server.  Error code: %d (%s)\n", result,
                      ODMRTP_CLASS::getErrorMessage(result));
      sendDMREvent("trelvane/ZELK/DMR", "login failure");
      ++attempts;
      // A reconnect ordered meanwhile is answered between attempts.
      if (drainWake()) serveReconnectRequest();
    }
    if (result != 0) {
      logInstance.log(LOG_FATAL, "Fatal error, can not log into server.  Retry count exceeded.\n");
      systemdNotifier.setLink(SystemdNotifier::Link::GaveUp, host, port, ODMRTP_CLASS::getErrorMessage(result));
      doneFlag = true;
      return;
    }

    logInstance.log(LOG_INFO, "Successful connection to BM server at ip address: %s\n",
                    rewindClient->getResolvedAddress());
    attempts = 0;
    rewindClient->SetRewindSubscription(currentTG);
    systemdNotifier.setTalkGroup(currentTG);
    systemdNotifier.setLink(SystemdNotifier::Link::LoggedIn, host, port);
    sendDMREvent("trelvane/ZELK/DMR", "login success");
    lastPingTime = time(nullptr);
    long received = 0;

    while (!doneFlag) {
      // The wake pipe is read only when it woke us: no extra system call per datagram.
      bool woken = false;
      // The wait is cut into slices when the watchdog must be pinged meanwhile.
      bool ready = false;
      systemdNotifier.watchedWait(kWaitSeconds * 1000, [&](int ms) {
        ready = rewindClient->waitForData(ms / 1000, (ms % 1000) * 1000, wakePipe[0], &woken);
        return ready || woken;
      });
      if (woken && drainWake()) {
        serveReconnectRequest();
        if (!ready) continue;  // woken, not a silent wait
      }
      if (ready) {
        if (received % kKeepAliveEvery == 0) rewindClient->TransmitRewindKeepAlive();
        ++received;
        int length = rewindClient->ReceiveRewindData(packet, sizeof(buffer));
        if (length > 0) processODMRMessage(packet, length);
        continue;
      }
      long elapsed = static_cast<long>(time(nullptr) - lastPingTime);
      if (elapsed > kLostAfterSeconds) {
        logInstance.log(LOG_ERROR, "%s, Have not seen a ping reply in %d seconds, server connection lost?\n", "DMR",
                        static_cast<int>(elapsed));
        attempts = 0;
        break;
      }
      rewindClient->TransmitRewindKeepAlive();
    }
  }
}
