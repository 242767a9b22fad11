// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/host_check.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>

#include <algorithm>

namespace {

// Lower case, without the one trailing dot a fully qualified name may carry.
std::string canonical(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return name;
}

// The numeric address in the one form inet_ntop prints (an IPv4-mapped IPv6
// address as the IPv4 one), or empty when the text is no numeric address.
std::string numeric(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, out, sizeof(out));
  if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return "";
  in6_addr v6;
  std::copy(bytes, bytes + 16, v6.s6_addr);
  if (IN6_IS_ADDR_V4MAPPED(&v6)) return inet_ntop(AF_INET, bytes + 12, out, sizeof(out));
  return inet_ntop(AF_INET6, bytes, out, sizeof(out));
}

bool isIpv6(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool isName(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

// A port as the Host header writes it: digits, possibly none.
bool isPort(const std::string& text) {
  return text.size() <= 5 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The host of a Host header without its port; false when the value is malformed.
bool hostPart(const std::string& value, std::string* host) {
  if (!value.empty() && value[0] == '[') {
    size_t close = value.find(']');
    if (close == std::string::npos) return false;
    std::string rest = value.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !isPort(rest.substr(1)))) return false;
    *host = value.substr(1, close - 1);
    return isIpv6(*host);  // only an IPv6 address goes in brackets
  }
  size_t colon = value.find(':');
  if (colon != std::string::npos && !isPort(value.substr(colon + 1))) return false;
  *host = value.substr(0, colon);
  return true;
}

}  // namespace

HostCheck::HostCheck(const std::string& listening, const std::string& machine,
                     const std::vector<std::string>& listed)
    : address(numeric(listening)), everyAddress(address == "0.0.0.0" || address == "::") {
  names.push_back("localhost");
  const std::string full = canonical(machine);
  if (!full.empty()) {
    const std::string bare = full.substr(0, full.find('.'));
    names.push_back(full);
    if (bare != full) names.push_back(bare);
    names.push_back(bare + ".local");
  }
  for (const std::string& name : listed) names.push_back(canonical(name));
}

bool HostCheck::allows(const std::string& value) const {
  std::string host;
  if (!hostPart(value, &host)) return false;
  const std::string number = numeric(host);
  if (number.empty()) {
    host = canonical(host);
    return isName(host) && std::find(names.begin(), names.end(), host) != names.end();
  }
  if (everyAddress || number == address) return true;
  return std::any_of(names.begin(), names.end(), [&number](const std::string& name) { return numeric(name) == number; });
}

bool HostCheck::parseList(const char* text, std::vector<std::string>* listed, std::string* why) {
  listed->clear();
  const std::string all = text != nullptr ? text : "";
  const char* const separators = ", \t";
  for (size_t start = all.find_first_not_of(separators); start != std::string::npos;
       start = all.find_first_not_of(separators, start)) {
    size_t end = all.find_first_of(separators, start);
    std::string entry = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end;
    std::string name = entry.size() > 2 && entry.front() == '[' && entry.back() == ']'
                           ? entry.substr(1, entry.size() - 2)
                           : entry;
    const bool bracketed = name != entry;  // brackets hold an IPv6 address only
    if (bracketed ? !isIpv6(name) : numeric(name).empty() && !isName(name)) {
      *why = "entry " + std::to_string(listed->size() + 1) + " (\"" + entry +
             "\") is neither a host name nor a numeric address (no port, no scheme)";
      return false;
    }
    listed->push_back(name);
  }
  return true;
}
