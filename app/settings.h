// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's configuration: the settings read from the INI file over
// built-in defaults. config is filled on the main thread before any worker thread
// starts and is read-only afterwards. Text fields are heap copies owned by the
// record for the life of the process.
#pragma once

#include <stdint.h>

#include <string>

#include "telemetry/broker.h"

struct Settings_t {
  char* bmAddress;        // "BMAddress": Rewind server host
  char* bmPort;           // "BMPort": server port, as text (a number or a service name)
  char* bmPassword;       // "BMPassword"
  char* address;          // "Address": host of the local partner
  uint32_t txPort;        // "TXPort": the partner's port
  uint32_t rxPort;        // "RXPort": our port for the partner's messages
  char* brokerAddress;    // "BrokerAddress": null or empty means no MQTT
  uint32_t brokerPort;    // "BrokerPort"
  char* brokerClient;     // "BrokerClient": MQTT client identifier
  char* brokerTopic;      // "BrokerTopic": topic of the log lines
  uint32_t userID;        // "UserID": our DMR radio ID
  char* talkerAlias;      // "TalkerAlias": template with %callsign and %name
  uint32_t startTG;       // "StartTG"
  uint32_t logLevel;      // "LogLevel"
  char* subscriberFile;   // "subscriberFile": null means no subscriber database
  char* statusAddress;    // "StatusAddress": numeric IPv4 or IPv6 address of the status page
  uint32_t statusPort;    // "StatusPort": 0 means no status page
  uint32_t brokerStatus;  // "BrokerStatus": 1 publishes availability, status and calls
  char* staticTGs;        // "StaticTGs": talk groups followed besides the current one; null: none
  char* bmFallback;       // "BMFallback": servers tried when the home server fails; null: none
  uint32_t networkJitter; // "NetworkJitter": ms network voice waits to play in order; 0: none
  char* statusHosts;      // "StatusHosts": names the status page answers to besides its own; null: none
  char* brokerDiscovery;  // "BrokerDiscovery": Home Assistant's discovery prefix; null or empty: none
  char* name;             // "Name": the instance's name; null or empty: none (see applyInstanceName)
  bool brokerClientGiven;  // the file set "BrokerClient"
};

// Built-in defaults. The server defaults point at the bundled loopback simulator,
// so a fresh install runs out of the box.
#define ZELK_DEFAULT_BM_ADDRESS "127.0.0.1"
#define ZELK_DEFAULT_BM_PORT "54006"
#define ZELK_DEFAULT_BM_PASSWORD "mirab4le"
#define ZELK_DEFAULT_USER_ID 1234567u
#define ZELK_DEFAULT_TALKER_ALIAS "ZELK DMR bridge"

extern Settings_t config;

// Restores every field of the record to its built-in default.
void resetSettings(Settings_t* settings);
// Releases the record's text fields (for records other than config, which lives
// for the process).
void freeSettings(Settings_t* settings);

// The name of an instance of the template unit (its ZELK_INSTANCE) stands for
// a Name the file leaves out or empty; a named daemon without a BrokerClient of
// its own connects as "trelvane-<name>", so that instances do not take each
// other's broker session. instance may be null.
void applyInstanceName(Settings_t* settings, const char* instance);
// "trelvane-<name>" within the 23 characters of an MQTT 3.1 client identifier:
// a longer name keeps its start and gets a short hash of the whole.
std::string instanceClientId(const std::string& name);

// The attachment's share of the record: the five broker fields, borrowed.
BrokerSettings brokerSettings(const Settings_t& settings);

// NetworkJitter's range: 0 (no playout buffer) or 20 to 2000 ms, as the text says.
bool validNetworkJitter(uint32_t ms);
#define ZELK_NETWORK_JITTER_RANGE "0 for none, or 20 to 2000 ms"

// The inih callback: stores a recognised ZELK key into the record passed as user
// pointer and echoes it at level 2. Always returns 1.
int handler(void* user, const char* section, const char* name, const char* value);
