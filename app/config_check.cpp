// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/config_check.h"

#include <errno.h>
#include <ini.h>
#include <netdb.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/setting_lists.h"
#include "app/settings.h"
#include "network/odmrtp_class.h"
#include "telemetry/broker_discovery.h"
#include "telemetry/control_escape.h"
#include "telemetry/host_check.h"
#include "telemetry/log_class.h"

namespace {

constexpr size_t kMaxPathLength = 127;  // as at start-up
constexpr uint32_t kMax24Bit = 0xFFFFFF;
constexpr size_t kMaxNameLength = 64;

// The numeric keys as the file spells them, by the key's upper-case name.
using RawValues = std::map<std::string, std::string>;

const char* const kRawKeys[] = {"BMPort",   "RXPort",     "TXPort",     "UserID",      "StartTG",
                                "LogLevel", "BrokerPort", "StatusPort", "BrokerStatus", "NetworkJitter"};

int collectRaw(void* user, const char* section, const char* name, const char* value) {
  if (strcasecmp(section, "ZELK") != 0) return 1;
  for (const char* key : kRawKeys) {
    if (strcasecmp(name, key) == 0) (*static_cast<RawValues*>(user))[key] = value;
  }
  return 1;
}

// A decimal number without sign, spaces or anything after it, up to 2^32 - 1.
bool parseNumber(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long value = strtoull(text.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// An address as digits of the family (AF_UNSPEC: either), an IPv6 one with or
// without its scope ("fe80::1%eth0").
bool isNumericAddress(const char* text, int family) {
  struct addrinfo hints {};
  hints.ai_family = family;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

class Checker {
 public:
  Checker(const RawValues& values, FILE* errors) : raw(values), err(errors) {}

  void problem(const char* format, const char* key, const std::string& value, const char* why) {
    fprintf(err, format, key, escapeControls(value.c_str()).c_str(), why);
    ++problems;
  }

  // A key the file sets is checked as written; a key it leaves out has its default.
  void number(const char* key, uint32_t low, uint32_t high, const char* what) {
    auto found = raw.find(key);
    if (found == raw.end()) return;
    uint32_t value = 0;
    if (!parseNumber(found->second, &value)) {
      problem("error: %s = %s: not a whole number (%s)\n", key, found->second, what);
    } else if (value < low || value > high) {
      problem("error: %s = %s: out of range (%s)\n", key, found->second, what);
    }
  }

  void userID() {
    auto found = raw.find("UserID");
    if (found == raw.end()) return;
    uint32_t value = 0;
    uint32_t radioID = 0;
    const char* what = "a radio ID from 1 to 16777215 or a nine-digit hotspot ID";
    if (!parseNumber(found->second, &value)) {
      problem("error: %s = %s: not a whole number (%s)\n", "UserID", found->second, what);
    } else if (value == 0 || !ODMRTP_CLASS::radioIDOf(value, &radioID)) {
      // The start-up's rule (it refuses the same IDs), and 0, which no station has.
      problem("error: %s = %s: out of range (%s)\n", "UserID", found->second, what);
    }
  }

  // 0 turns the playout buffer off; a shorter buffer could not hold a turn's jitter.
  void networkJitter() {
    auto found = raw.find("NetworkJitter");
    if (found == raw.end()) return;
    uint32_t value = 0;
    if (!parseNumber(found->second, &value)) {
      problem("error: %s = %s: not a whole number (%s)\n", "NetworkJitter", found->second, ZELK_NETWORK_JITTER_RANGE);
    } else if (!validNetworkJitter(value)) {
      problem("error: %s = %s: out of range (%s)\n", "NetworkJitter", found->second, ZELK_NETWORK_JITTER_RANGE);
    }
  }

  // The server's port is handed to the resolver: a number or a UDP service name.
  void serverPort(const char* port) {
    uint32_t value = 0;
    std::string text = port != nullptr ? port : "";
    if (parseNumber(text, &value)) {
      if (value < 1 || value > 65535) problem("error: %s = %s: out of range (%s)\n", "BMPort", text, "1 to 65535");
    } else if (text.empty() || getservbyname(text.c_str(), "udp") == nullptr) {
      problem("error: %s = %s: %s\n", "BMPort", text, "neither a port number nor a known UDP service name");
    }
  }

  // A name or an address of either family. No name holds a colon: with one the
  // text can only be an IPv6 address, written bare (no brackets, no port).
  void host(const char* key, const char* value) {
    if (value == nullptr || value[0] == '\0') {
      problem("error: %s = %s: %s\n", key, "", "no host given");
    } else if (strchr(value, ':') != nullptr && !isNumericAddress(value, AF_INET6)) {
      problem("error: %s = %s: %s\n", key, value, "not an IPv6 address (written without brackets or port)");
    }
  }

  void numericAddress(const char* key, const char* value) {
    if (value == nullptr || !isNumericAddress(value, AF_UNSPEC)) {
      problem("error: %s = %s: %s\n", key, value != nullptr ? value : "", "not a numeric IPv4 or IPv6 address");
    }
  }

  void readable(const char* key, const char* path) {
    if (path == nullptr) return;
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
      problem("error: %s = %s: cannot be read: %s\n", key, path, strerror(errno));
      return;
    }
    fclose(file);
  }

  // The keys of a named instance, the page's names and Home Assistant's discovery.
  void instance(const Settings_t& s) {
    const std::string name = s.name != nullptr ? s.name : "";
    if (name.size() > kMaxNameLength || std::any_of(name.begin(), name.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        })) {
      problem("error: %s = %s: %s\n", "Name", name, "at most 64 characters, none of them a control character");
    }
    std::string why;
    std::vector<std::string> names;
    if (!HostCheck::parseList(s.statusHosts, &names, &why)) {
      problem("error: %s = %s: %s\n", "StatusHosts", s.statusHosts, why.c_str());
    }
    const std::string prefix = s.brokerDiscovery != nullptr ? s.brokerDiscovery : "";
    if (prefix.empty()) return;
    if (!BrokerDiscovery::validPrefix(prefix, &why)) {
      problem("error: %s = %s: %s\n", "BrokerDiscovery", prefix, why.c_str());
    } else if (s.brokerStatus != 1) {
      problem("error: %s = %s: %s\n", "BrokerDiscovery", prefix, "needs BrokerStatus = 1 (its entities read the status)");
    }
  }

  int problems = 0;

 private:
  const RawValues& raw;
  FILE* err;
};

// Text from the file, with its control bytes shown escaped.
std::string orNone(const char* text) { return text != nullptr ? escapeControls(text) : "(not set)"; }

void printSettings(const Settings_t& s, FILE* out) {
  fprintf(out, "BMAddress = %s\n", orNone(s.bmAddress).c_str());
  fprintf(out, "BMPort = %s\n", orNone(s.bmPort).c_str());
  fprintf(out, "BMPassword = %s\n", maskedSecret(s.bmPassword));
  fprintf(out, "Address = %s\n", orNone(s.address).c_str());
  fprintf(out, "TXPort = %u\n", s.txPort);
  fprintf(out, "RXPort = %u\n", s.rxPort);
  fprintf(out, "BrokerAddress = %s\n", orNone(s.brokerAddress).c_str());
  fprintf(out, "BrokerPort = %u\n", s.brokerPort);
  fprintf(out, "BrokerClient = %s\n", orNone(s.brokerClient).c_str());
  fprintf(out, "BrokerTopic = %s\n", orNone(s.brokerTopic).c_str());
  fprintf(out, "BrokerStatus = %u\n", s.brokerStatus);
  // The keys below that print only when set leave the listing of a file
  // without them as it always was.
  if (s.brokerDiscovery != nullptr) fprintf(out, "BrokerDiscovery = %s\n", orNone(s.brokerDiscovery).c_str());
  fprintf(out, "UserID = %u\n", s.userID);
  fprintf(out, "TalkerAlias = %s\n", orNone(s.talkerAlias).c_str());
  fprintf(out, "StartTG = %u\n", s.startTG);
  fprintf(out, "LogLevel = %u\n", s.logLevel);
  fprintf(out, "subscriberFile = %s\n", orNone(s.subscriberFile).c_str());
  fprintf(out, "StatusAddress = %s\n", orNone(s.statusAddress).c_str());
  fprintf(out, "StatusPort = %u\n", s.statusPort);
  if (s.statusHosts != nullptr) fprintf(out, "StatusHosts = %s\n", orNone(s.statusHosts).c_str());
  fprintf(out, "StaticTGs = %s\n", orNone(s.staticTGs).c_str());
  fprintf(out, "BMFallback = %s\n", orNone(s.bmFallback).c_str());
  fprintf(out, "NetworkJitter = %u\n", s.networkJitter);
  if (s.name != nullptr && s.name[0] != '\0') fprintf(out, "Name = %s\n", orNone(s.name).c_str());
}

}  // namespace

int checkConfiguration(const char* path, FILE* out, FILE* err) {
  if (strlen(path) > kMaxPathLength) {
    fprintf(err, "error: ini file path \"%.40s...\" is longer than %zu characters\n", path, kMaxPathLength);
    return 253;
  }
  // The start-up's callback echoes every pair through the logger; here the
  // settings are printed below instead, so nothing is logged (and no log file opened).
  unsigned int level = logInstance.getLogLevel();
  logInstance.setLogLevel(LOG_FATAL + 1);
  Settings_t settings{};
  resetSettings(&settings);
  int result = ini_parse(path, handler, &settings);
  logInstance.setLogLevel(static_cast<int>(level));
  if (result < 0) {
    fprintf(err, "error: ini file \"%s\" cannot be read\n", path);
    freeSettings(&settings);
    return 253;
  }
  RawValues raw;
  ini_parse(path, collectRaw, &raw);
  applyInstanceName(&settings, getenv("ZELK_INSTANCE"));

  fprintf(out, "Settings read from \"%s\" (defaults where it says nothing):\n", path);
  printSettings(settings, out);
  fflush(out);

  Checker check(raw, err);
  if (result > 0) {
    fprintf(err, "error: \"%s\" line %d: neither a [section], a name = value pair nor a comment\n", path, result);
    ++check.problems;
  }
  check.host("BMAddress", settings.bmAddress);
  check.serverPort(settings.bmPort);
  check.host("Address", settings.address);
  if (settings.brokerAddress != nullptr) check.host("BrokerAddress", settings.brokerAddress);
  check.number("TXPort", 1, 65535, "1 to 65535");
  check.number("RXPort", 1, 65535, "1 to 65535");
  check.number("BrokerPort", 1, 65535, "1 to 65535");
  check.number("BrokerStatus", 0, 1, "0 or 1");
  check.userID();
  check.number("StartTG", 0, kMax24Bit, "0 to 16777215");
  check.number("LogLevel", LOG_DEBUG, LOG_FATAL, "1 to 6");
  check.readable("subscriberFile", settings.subscriberFile);
  check.number("StatusPort", 0, 65535, "0 to 65535, 0 for none");
  check.numericAddress("StatusAddress", settings.statusAddress);
  check.networkJitter();
  std::string why;
  std::vector<uint32_t> groups;
  if (!parseStaticTalkGroups(settings.staticTGs, &groups, &why)) {
    check.problem("error: %s = %s: %s\n", "StaticTGs", settings.staticTGs, why.c_str());
  }
  std::vector<RewindServer> servers;
  if (!parseFallbackServers(settings.bmFallback, settings.bmPort, &servers, &why)) {
    check.problem("error: %s = %s: %s\n", "BMFallback", settings.bmFallback, why.c_str());
  }
  check.instance(settings);
  freeSettings(&settings);

  if (check.problems > 0) {
    fprintf(err, "Configuration \"%s\" has %d problem%s\n", path, check.problems, check.problems == 1 ? "" : "s");
    return 253;
  }
  fprintf(out, "Configuration \"%s\" is OK\n", path);
  return 0;
}
