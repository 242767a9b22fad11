// SPDX-License-Identifier: GPL-2.0-or-later
// The network connection service of the bridge: logs in with up to three
// consecutive attempts, subscribes the current talk group, keeps the connection
// alive, notices a lost server and logs in again. Runs on the main thread. Every
// elapsed-time decision runs on the monotonic clock of the bridge's LinkWatch.
#include "app/czelk.h"
#include "app/settings.h"
#include "network/odmrtp_class.h"
#include "network/rewind_data.h"
#include "telemetry/log_class.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

namespace {

constexpr int kMaxAttempts = 3;
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
    bool movedByCommand = false;
    while (attempts < kMaxAttempts) {
      logInstance.log(LOG_INFO, "Connecting to %s server at address: %s:%s\n", ZELK_NAME, host, port);
      systemdNotifier.tick();
      systemdNotifier.setLink(SystemdNotifier::Link::LoggingIn, host, port,
                              attempts > 0 ? ODMRTP_CLASS::getErrorMessage(result) : nullptr);
      result = rewindClient->ConnectRewindClient(host, port, password, 0);
      logInstance.log(LOG_DEBUG, "Connect result = %d\n", result);
      if (result == 0) break;
      ++attempts;
      const bool last = attempts >= kMaxAttempts;
      if (!last) rewindClient->shutdownServer();
      logInstance.log(LOG_ERROR, "Error logging into BM server.  Error code: %d (%s)\n", result,
                      ODMRTP_CLASS::getErrorMessage(result));
      sendDMREvent("trelvane/ZELK/DMR", "login failure");
      // A reconnect ordered meanwhile is the login's result when it succeeds; the
      // dispatcher tells the partner. A failed one leaves the attempts as they are.
      bool succeeded = false;
      if (drainWake() && serveReconnectRequest(&succeeded) && succeeded) {
        result = 0;
        movedByCommand = true;
        break;
      }
      // After the last attempt nothing more may reach the server: the daemon ends.
      if (last) rewindClient->closeSession();
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
    // A reconnect's login subscribed the group the command named, and the
    // dispatcher sends its event.
    if (!movedByCommand) {
      rewindClient->SetRewindSubscription(currentTG);
      sendDMREvent("trelvane/ZELK/DMR", "login success");
      systemdNotifier.setTalkGroup(currentTG);
      systemdNotifier.setLink(SystemdNotifier::Link::LoggedIn, host, port);
    }
    link.loggedIn();

    while (!doneFlag) {
      // Wait until the quiet period ends, or the call in progress times out.
      int64_t waitMs = link.msUntilQuietEnd();
      int64_t callMs = msUntilNetworkCallTimeout();
      if (callMs >= 0 && callMs < waitMs) waitMs = callMs;
      const int wait = static_cast<int>(waitMs);
      // The wake pipe is read only when it woke us: no extra system call per datagram.
      bool woken = false;
      // The wait is cut into slices when the watchdog must be pinged meanwhile.
      bool ready = false;
      systemdNotifier.watchedWait(wait, [&](int ms) {
        ready = rewindClient->waitForData(ms / 1000, (ms % 1000) * 1000, wakePipe.read.get(), &woken);
        return ready || woken;
      });
      // After a reconnect the readiness was the old socket's.
      if (woken && drainWake() && serveReconnectRequest()) ready = false;
      if (ready) {
        int length = rewindClient->ReceiveRewindData(packet, sizeof(buffer));
        // Only the server's datagrams count as traffic; strangers' are dropped.
        if (length > 0) {
          if (link.serverDatagram()) rewindClient->TransmitRewindKeepAlive();
          processODMRMessage(packet, length);
        }
      }
      endQuietNetworkCall();
      int elapsed = 0;
      LinkWatch::Due due = link.check(&elapsed);
      if (due == LinkWatch::Due::Lost) {
        logInstance.log(LOG_ERROR, "%s, Have not seen a ping reply in %d seconds, server connection lost?\n", "DMR",
                        elapsed);
        attempts = 0;
        break;
      }
      if (due == LinkWatch::Due::KeepAlive) rewindClient->TransmitRewindKeepAlive();
    }
  }
}
