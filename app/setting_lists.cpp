// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/setting_lists.h"

#include <netdb.h>
#include <stdlib.h>

namespace {

constexpr uint32_t kMaxTalkGroup = 0xFFFFFF;

// The entries between the commas, blanks around each taken off. Blank text: none.
std::vector<std::string> entriesOf(const char* text) {
  std::vector<std::string> entries;
  const std::string all = text != nullptr ? text : "";
  if (all.find_first_not_of(" \t") == std::string::npos) return entries;
  size_t start = 0;
  for (;;) {
    size_t comma = all.find(',', start);
    std::string entry = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t first = entry.find_first_not_of(" \t");
    entries.push_back(first == std::string::npos ? "" : entry.substr(first, entry.find_last_not_of(" \t") - first + 1));
    if (comma == std::string::npos) return entries;
    start = comma + 1;
  }
}

// Digits only, and at most max.
bool parseBounded(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long number = strtoull(text.c_str(), nullptr, 10);
  if (number > max) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

std::string entryName(size_t index, const std::string& entry) {
  return "entry " + std::to_string(index + 1) + " (\"" + entry + "\")";
}

// Why the port is no good, or empty when it is.
std::string portProblem(const std::string& port) {
  uint32_t number = 0;
  if (port.empty()) return "no port after \":\"";
  if (port.find_first_not_of("0123456789") == std::string::npos) {
    return parseBounded(port, 65535, &number) && number > 0 ? "" : "port out of range (1 to 65535)";
  }
  return getservbyname(port.c_str(), "udp") != nullptr ? "" : "port neither a number nor a known UDP service name";
}

}  // namespace

bool parseStaticTalkGroups(const char* text, std::vector<uint32_t>* groups, std::string* why) {
  groups->clear();
  const std::vector<std::string> entries = entriesOf(text);
  if (entries.size() > kMaxStaticTalkGroups) {
    *why = "more than " + std::to_string(kMaxStaticTalkGroups) + " talk groups";
    return false;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    uint32_t group = 0;
    if (!parseBounded(entries[i], kMaxTalkGroup, &group) || group == 0) {
      *why = entryName(i, entries[i]) + " is not a talk group from 1 to 16777215";
      return false;
    }
    groups->push_back(group);
  }
  return true;
}

bool parseFallbackServers(const char* text, const char* defaultPort, std::vector<RewindServer>* servers,
                          std::string* why) {
  servers->clear();
  const std::vector<std::string> entries = entriesOf(text);
  if (entries.size() > kMaxFallbackServers) {
    *why = "more than " + std::to_string(kMaxFallbackServers) + " servers";
    return false;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& entry = entries[i];
    RewindServer server;
    bool hasPort = false;
    std::string problem;
    if (!entry.empty() && entry[0] == '[') {
      size_t close = entry.find(']');
      if (close == std::string::npos) {
        problem = "no \"]\" after the IPv6 address";
      } else {
        server.host = entry.substr(1, close - 1);
        std::string rest = entry.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') problem = "only \":port\" may follow \"]\"";
        hasPort = !rest.empty();
        if (hasPort) server.port = rest.substr(1);
      }
    } else {
      size_t colon = entry.find(':');
      // One colon parts host and port; more are an IPv6 address's own.
      hasPort = colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos;
      server.host = hasPort ? entry.substr(0, colon) : entry;
      if (hasPort) server.port = entry.substr(colon + 1);
    }
    if (problem.empty() && server.host.empty()) problem = "no host";
    if (problem.empty() && hasPort) problem = portProblem(server.port);
    if (!problem.empty()) {
      *why = entryName(i, entry) + ": " + problem;
      return false;
    }
    if (!hasPort) server.port = defaultPort != nullptr ? defaultPort : "";
    servers->push_back(server);
  }
  return true;
}
