// SPDX-License-Identifier: GPL-2.0-or-later
// Every elapsed-time decision runs on the monotonic clock of the link's LinkWatch.
#include "network/odmr_connection.h"

#include <poll.h>

#include "base/host_address.h"
#include "local/tlv_event.h"
#include "network/link_watch.h"
#include "network/odmr_message.h"
#include "network/odmrtp_class.h"
#include "network/reconnect_handover.h"
#include "network/rewind_data.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

namespace {

constexpr int kMaxAttempts = 3;
constexpr int kReceiveBufferSize = 64;

// One run of the service: login phases and connected phases in turn.
class ConnectionService {
 public:
  explicit ConnectionService(const ConnectionParts& parts)
      : parts(parts),
        client(*parts.client),
        link(*parts.link),
        reconnect(*parts.reconnect),
        board(*parts.board),
        notifier(*parts.notifier),
        done(*parts.done) {}

  void run() {
    *parts.talkGroup = parts.startTG;
    std::vector<RewindServer> servers(1);
    servers[0].host = parts.host != nullptr ? parts.host : "";
    servers[0].port = parts.port != nullptr ? parts.port : "";
    servers.insert(servers.end(), parts.fallbacks.begin(), parts.fallbacks.end());
    size_t current = 0;  // the server of the latest attempt
    while (!done) {
      // After a loss, from the home server again.
      bool movedByCommand = false;
      int result = -1;
      size_t index = 0;
      for (; index < servers.size() && !done; ++index) {
        if (index != current) moveTo(servers, index);
        current = index;
        result = logIn(servers[index], index + 1 == servers.size(), &movedByCommand);
        if (result == 0) break;
      }
      if (result != 0) {
        logInstance.log(LOG_FATAL, "Fatal error, can not log into server.  Retry count exceeded.\n");
        notifier.setLink(SystemdNotifier::Link::GaveUp, servers[current].host.c_str(),
                                servers[current].port.c_str(), ODMRTP_CLASS::getErrorMessage(result));
        board.setLink(StatusLink::GaveUp, servers[current].host.c_str(), servers[current].port.c_str(), 0,
                            ODMRTP_CLASS::getErrorMessage(result));
        done = true;
        return;
      }
      loggedIn(servers[current], movedByCommand);
      serveConnected();
    }
  }

 private:
  // Another server is next: a local call under way goes on to its end first, so
  // none is ever split between two servers.
  void moveTo(const std::vector<RewindServer>& servers, size_t index) {
    const RewindServer& next = servers[index];
    if (index == 0) {
      logInstance.log(LOG_INFO, "%s, Back to the home server %s:%s\n", "DMR", bracketedHost(next.host).c_str(),
                      next.port.c_str());
    } else {
      logInstance.log(LOG_INFO, "%s, Trying fallback server %zu of %zu: %s:%s\n", "DMR", index, servers.size() - 1,
                      bracketedHost(next.host).c_str(), next.port.c_str());
    }
    bool told = false;
    while (!done) {
      const int64_t left = client.msUntilLocalCallEnds();
      if (left <= 0) return;
      if (!told) {
        logInstance.log(LOG_INFO, "%s, Waiting for the local call to end before moving to %s:%s\n", "DMR",
                        bracketedHost(next.host).c_str(), next.port.c_str());
        told = true;
      }
      notifier.watchedWait(static_cast<int>(left), [](int ms) {
        poll(nullptr, 0, ms);
        return false;
      });
    }
  }

  // Up to three consecutive attempts on one server: 0 once logged in
  // (*movedByCommand when by a reconnect the dispatcher ordered meanwhile), else
  // the last attempt's error. After the last attempt on the last server nothing
  // more reaches any server.
  int logIn(const RewindServer& server, bool lastServer, bool* movedByCommand) {
    const char* host = server.host.c_str();
    const char* port = server.port.c_str();
    int result = -1;
    for (int attempts = 0; attempts < kMaxAttempts;) {
      logInstance.log(LOG_INFO, "Connecting to %s server at address: %s:%s\n", ZELK_NAME, bracketedHost(host).c_str(),
                      port);
      notifier.tick();
      notifier.setLink(SystemdNotifier::Link::LoggingIn, host, port,
                              attempts > 0 ? ODMRTP_CLASS::getErrorMessage(result) : nullptr);
      board.setLink(StatusLink::LoggingIn, host, port, attempts + 1,
                          attempts > 0 ? ODMRTP_CLASS::getErrorMessage(result) : nullptr);
      result = client.ConnectRewindClient(host, port, parts.password, 0);
      logInstance.log(LOG_DEBUG, "Connect result = %d\n", result);
      if (result == 0) {
        board.count(StatusCounter::LoginSucceeded);
        return 0;
      }
      board.count(StatusCounter::LoginFailed);
      ++attempts;
      const bool last = lastServer && attempts >= kMaxAttempts;
      if (!last) client.shutdownServer();
      logInstance.log(LOG_ERROR, "Error logging into BM server.  Error code: %d (%s)\n", result,
                      ODMRTP_CLASS::getErrorMessage(result));
      sendTlvEvent(*parts.partner, "trelvane/ZELK/DMR", "login failure");
      // A reconnect ordered meanwhile is the login's result when it succeeds; the
      // dispatcher tells the partner. A failed one leaves the attempts as they are.
      int reconnected = -1;
      if (serveReconnect(&reconnected) && reconnected == 0) {
        *movedByCommand = true;
        return 0;
      }
      // After the last attempt nothing more may reach the server: the daemon ends.
      if (last) client.closeSession();
    }
    return result;
  }

  void loggedIn(const RewindServer& server, bool movedByCommand) {
    logInstance.log(LOG_INFO, "Successful connection to BM server at ip address: %s\n", client.getResolvedAddress());
    // A reconnect's login subscribed the group the command named, and the
    // dispatcher sends its event.
    if (!movedByCommand) {
      const uint32_t talkGroup = *parts.talkGroup;
      client.subscribeTalkGroups(talkGroup);
      sendTlvEvent(*parts.partner, "trelvane/ZELK/DMR", "login success");
      notifier.setTalkGroup(talkGroup);
      notifier.setLink(SystemdNotifier::Link::LoggedIn, server.host.c_str(), server.port.c_str());
      board.setTalkGroup(talkGroup);
      board.setLink(StatusLink::LoggedIn, server.host.c_str(), server.port.c_str());
    }
    link.loggedIn();
  }

  // Until the daemon is done or the server is lost.
  void serveConnected() {
    // The packet buffer is aligned for RewindData and big enough for everything the
    // handler reads; longer datagrams are cut to it.
    alignas(RewindData) unsigned char buffer[kReceiveBufferSize];
    RewindData* packet = reinterpret_cast<RewindData*>(buffer);
    ODMRMessageHandler& handler = *parts.handler;

    while (!done) {
      // Wait until the quiet period ends, the call in progress times out, or the
      // playout has a packet due.
      int64_t waitMs = link.msUntilQuietEnd();
      for (int64_t dueMs : {handler.msUntilNetworkCallTimeout(), handler.msUntilPlayoutDue()}) {
        if (dueMs >= 0 && dueMs < waitMs) waitMs = dueMs;
      }
      const int wait = static_cast<int>(waitMs);
      // The wake pipe is read only when it woke us: no extra system call per datagram.
      bool woken = false;
      // The wait is cut into slices when the watchdog must be pinged meanwhile.
      bool ready = false;
      notifier.watchedWait(wait, [&](int ms) {
        ready = client.waitForData(ms / 1000, (ms % 1000) * 1000, reconnect.wakeFd(), &woken);
        return ready || woken;
      });
      // After a reconnect the readiness was the old socket's.
      if (woken && serveReconnect(nullptr)) ready = false;
      if (ready) {
        int length = client.ReceiveRewindData(packet, sizeof(buffer));
        // Only the server's datagrams count as traffic; strangers' are dropped.
        if (length > 0) {
          if (link.serverDatagram()) client.TransmitRewindKeepAlive();
          parts.processMessage(packet, length);
        }
      }
      handler.playDue();
      handler.endQuietNetworkCall();
      int elapsed = 0;
      LinkWatch::Due due = link.check(&elapsed);
      if (due == LinkWatch::Due::Lost) {
        logInstance.log(LOG_ERROR, "%s, Have not seen a ping reply in %d seconds, server connection lost?\n", "DMR",
                        elapsed);
        board.count(StatusCounter::ServerLost);
        board.setLink(StatusLink::Lost, parts.host, parts.port);
        return;
      }
      if (due == LinkWatch::Due::KeepAlive) client.TransmitRewindKeepAlive();
    }
  }

  // A reconnect handed over by the dispatcher, when the wake pipe held one: false
  // when none was pending, else true with *result the login's result.
  bool serveReconnect(int* result) {
    if (!reconnect.drainWake()) return false;
    return reconnect.serve(
        [this](const ReconnectHandOver::Request& request) {
          board.count(StatusCounter::Reconnect);
          board.setLink(StatusLink::Reconnecting, request.host.c_str(), request.port.c_str());
          int outcome = client.resetRewindContext(parts.userID, parts.appName, request.host.c_str(),
                                                  request.port.c_str(), request.password.c_str(), request.talkGroup);
          // A success counts as the last ping; the login subscribed the command's
          // group (9 for none), the static ones follow.
          if (outcome == 0) {
            const unsigned int talkGroup =
                request.talkGroup != 0 ? request.talkGroup : ODMRTP_CLASS::kDefaultTalkGroup;
            client.subscribeStaticTalkGroups(talkGroup);
            link.loggedIn();
            notifier.setLink(SystemdNotifier::Link::LoggedIn, request.host.c_str(), request.port.c_str());
            notifier.setTalkGroup(talkGroup);
            board.count(StatusCounter::LoginSucceeded);
            board.setTalkGroup(talkGroup);
            board.setLink(StatusLink::LoggedIn, request.host.c_str(), request.port.c_str());
          } else {
            board.count(StatusCounter::LoginFailed);
          }
          return outcome;
        },
        result);
  }

  const ConnectionParts& parts;
  ODMRTP_CLASS& client;
  LinkWatch& link;
  ReconnectHandOver& reconnect;
  StatusBoard& board;
  SystemdNotifier& notifier;
  std::atomic<bool>& done;
};

}  // namespace

void serveRewindConnection(const ConnectionParts& parts) { ConnectionService(parts).run(); }
