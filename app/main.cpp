// SPDX-License-Identifier: GPL-2.0-or-later
// Entry point: version switch, configuration, log level, broker, banner, signals,
// then the bridge, which serves until the daemon ends.
#include <ini.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/config_check.h"
#include "app/czelk.h"
#include "app/setting_lists.h"
#include "app/settings.h"
#include "app/signal_thread.h"
#include "network/odmrtp_class.h"
#include "telemetry/broker.h"
#include "telemetry/broker_discovery.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"
#include "telemetry/mqtt.h"
#include "telemetry/status_board.h"
#include "telemetry/status_publisher.h"
#include "telemetry/status_server.h"
#include "telemetry/systemd_notifier.h"
#include "version.h"

namespace {

// Discovery is asked for, and can work: its entities read the status topics.
bool wantsDiscovery(const Settings_t& s) {
  if (s.brokerDiscovery == nullptr || s.brokerDiscovery[0] == '\0') return false;
  std::string why = "it needs BrokerStatus = 1";
  if (s.brokerStatus == 1 && BrokerDiscovery::validPrefix(s.brokerDiscovery, &why)) return true;
  logInstance.log(LOG_WARNING, "%s, BrokerDiscovery = %s: %s; Home Assistant is not told of this bridge\n", "DMR",
                  escapeControls(s.brokerDiscovery).c_str(), why.c_str());
  return false;
}

// Home Assistant's config messages, as retained states: the client gives them
// again after every connection.
void announce(const Settings_t& s, const std::string& pageUrl) {
  DiscoverySettings settings;
  settings.prefix = s.brokerDiscovery;
  settings.baseTopic = s.brokerTopic;
  settings.userID = s.userID;
  settings.name = s.name != nullptr ? s.name : "";
  settings.pageUrl = pageUrl;
  settings.version = ZELK_VERSION;
  for (const DiscoveryConfig& each : BrokerDiscovery::configs(settings)) {
    broker->publishState(each.topic.c_str(), each.payload.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "-v") == 0) {
    printf("%s version %s\n", ZELK_NAME, ZELK_VERSION);
    return 0;
  }
  // "-t [FILE]": check the configuration and print the effective settings.
  if (argc >= 2 && strcmp(argv[1], "-t") == 0) {
    return checkConfiguration(argc == 3 ? argv[2] : "Trelvane.ini", stdout, stderr);
  }
  // A block of 64 KiB or more comes from the system on its own and goes back to
  // it whole when freed. The allocator's default raises that bound each time such
  // a block is freed, so the next day's subscriber table (its string blocks, its
  // indexes, their sort buffers) would be carved out of the heap among the remains
  // of the last one and keep pages resident that neither needs: over a month of
  // daily reloads about half a megabyte. A fixed bound keeps the big blocks out
  // of the heap.
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif
  // Whole lines reach a pipe or the journal as they are logged.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  SignalThread::blockSignals();

  const char* path = argc == 2 ? argv[1] : "Trelvane.ini";
  char iniFile[128];
  if (strlen(path) >= sizeof(iniFile)) {
    logInstance.log(LOG_ERROR, "%s, ini file path \"%.40s...\" is longer than %d characters.  Fatal error exiting\n",
                    "DMR", path, static_cast<int>(sizeof(iniFile) - 1));
    exit(253);
  }
  snprintf(iniFile, sizeof(iniFile), "%s", path);

  int result = ini_parse(iniFile, handler, &config);
  if (result < 0) {
    logInstance.log(LOG_ERROR, "%s, ini file \"%s\" was not found.  Fatal error exiting\n", "DMR", iniFile);
    exit(253);
  }
  if (result > 0) {
    logInstance.log(LOG_ERROR, "%s, parse error in file \"%s\" line %d.  Fatal error exiting\n", "DMR", iniFile,
                    result);
    exit(253);
  }

  logInstance.setLogLevel(static_cast<int>(config.logLevel));
  applyInstanceName(&config, getenv("ZELK_INSTANCE"));
  uint32_t radioID = 0;
  if (!ODMRTP_CLASS::radioIDOf(config.userID, &radioID)) {
    logInstance.log(LOG_ERROR,
                    "%s, UserID %u is neither a radio ID (at most 16777215) nor a nine-digit hotspot ID.  Fatal "
                    "error exiting\n",
                    "DMR", config.userID);
    exit(253);
  }
  std::vector<uint32_t> staticGroups;
  std::vector<RewindServer> fallbacks;
  std::string why;
  const bool groupsRead = parseStaticTalkGroups(config.staticTGs, &staticGroups, &why);
  if (!groupsRead || !parseFallbackServers(config.bmFallback, config.bmPort, &fallbacks, &why)) {
    const char* key = groupsRead ? "BMFallback" : "StaticTGs";
    logInstance.log(LOG_ERROR, "%s, %s = %s: %s.  Fatal error exiting\n", "DMR", key,
                    escapeControls(groupsRead ? config.bmFallback : config.staticTGs).c_str(), why.c_str());
    exit(253);
  }
  if (!validNetworkJitter(config.networkJitter)) {
    logInstance.log(LOG_ERROR, "%s, NetworkJitter = %u: out of range (%s).  Fatal error exiting\n", "DMR",
                    config.networkJitter, ZELK_NETWORK_JITTER_RANGE);
    exit(253);
  }
  // Those who show the daemon's state, handed to everyone who writes to them.
  // They last until the process ends: the broker's threads, which are never
  // stopped, may still report while it does.
  static StatusBoard statusBoard;
  static SystemdNotifier systemdNotifier;
  const std::string name = config.name != nullptr ? config.name : "";
  statusBoard.setName(name);
  systemdNotifier.setName(name);
  systemdNotifier.start();
  BrokerSettings brokerAttachment = brokerSettings(config);
  brokerAttachment.board = &statusBoard;
  brokerAttachment.notifier = &systemdNotifier;
  setBroker(brokerAttachment);
  const bool discovery = wantsDiscovery(config);
  if (config.brokerStatus == 1 && broker != nullptr) {
    // Kept, like the client, until the process ends: the voice threads report through it.
    StatusPublisher* publisher = new StatusPublisher(*broker, statusBoard, config.brokerTopic, discovery);
    statusBoard.setListener([publisher](StatusChange change, const StatusSnapshot& snapshot, const StatusCall* call) {
      publisher->changed(change, snapshot, call);
    });
    publisher->publishState();
  }

  logInstance.log(LOG_INFO, "%s is starting\n", ZELK_NAME);
  logInstance.log(LOG_INFO, "%s version %s\n", ZELK_NAME, ZELK_VERSION);
  logInstance.log(LOG_INFO, "DMR voice bridge between a local AMBE partner and a Rewind network\n");
  logInstance.log(LOG_INFO, "%s, calls go out with source ID %u (UserID %u)\n", "DMR", radioID, config.userID);

  // The status page is served only when a port is set; one that cannot be
  // bound costs an error line, not the voice.
  StatusServer statusServer(statusBoard);
  if (config.statusPort != 0) statusServer.start(config.statusAddress, config.statusPort, config.statusHosts);
  if (discovery && broker != nullptr) announce(config, statusServer.pageUrl());

  if (!SignalThread::start([](int signalNumber) { sigHandler(signalNumber, systemdNotifier); })) {
    logInstance.log(LOG_FATAL, "Error creating the signal thread\n");
    return 1;
  }

  // The constructor serves the network and returns when the daemon is done.
  CZELK zelk(&config, statusBoard, systemdNotifier);
  while (!zelk.isDone()) sleep(1);
  // Signals end the process elsewhere: here the daemon gave up by itself (logins
  // exhausted, a worker thread that could not start), a failure for a supervisor.
  systemdNotifier.stopping();
  return 1;
}
