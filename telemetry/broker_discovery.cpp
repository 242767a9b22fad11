// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/broker_discovery.h"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// The newest call either way as c (none before the first): the status keeps
// the last call of each way, with its start in one sortable UTC form.
const char kNewestCall[] =
    "{% set f = value_json.last_call.from_network %}{% set t = value_json.last_call.to_network %}"
    "{% set c = t if f is none or (t is not none and t.start > f.start) else f %}";

}  // namespace

std::string BrokerDiscovery::idText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!plain) c = '_';
  }
  return out;
}

std::string BrokerDiscovery::nodeId(uint32_t userID, const std::string& name) {
  std::string node = "zelk_" + std::to_string(userID);
  return name.empty() ? node : node + "_" + idText(name);
}

bool BrokerDiscovery::validPrefix(const std::string& prefix, std::string* why) {
  for (unsigned char c : prefix) {
    if (c < 0x20 || c == 0x7F || c == '+' || c == '#') {
      *why = "a discovery prefix holds no wildcard (+, #) and no control character";
      return false;
    }
  }
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
    *why = "a discovery prefix is one or more topic levels, none of them empty";
    return false;
  }
  return true;
}

std::vector<DiscoveryConfig> BrokerDiscovery::configs(const DiscoverySettings& s) {
  const std::string node = nodeId(s.userID, s.name);
  json device = {{"identifiers", json::array({node})},
                 {"name", "ZELK " + (s.name.empty() ? std::to_string(s.userID) : s.name)},
                 {"manufacturer", "ZELK"},
                 {"model", "DMR voice bridge"},
                 {"sw_version", s.version}};
  if (!s.pageUrl.empty()) device["configuration_url"] = s.pageUrl;

  std::vector<DiscoveryConfig> out;
  const auto entity = [&](const char* component, const char* object, const char* name, const std::string& value,
                          json extra) {
    json config = {{"name", name},
                   {"unique_id", node + "_" + object},
                   {"state_topic", s.baseTopic + "/status"},
                   {"value_template", value},
                   {"availability_topic", s.baseTopic + "/availability"},
                   {"payload_available", "online"},
                   {"payload_not_available", "offline"},
                   {"device", device}};
    config.update(extra);
    out.push_back({s.prefix + "/" + component + "/" + node + "/" + object + "/config",
                   config.dump(-1, ' ', false, json::error_handler_t::replace)});
  };
  const std::string newest = kNewestCall;
  entity("binary_sensor", "link", "Link", "{{ 'ON' if value_json.link.state == 'logged in' else 'OFF' }}",
         {{"device_class", "connectivity"}, {"payload_on", "ON"}, {"payload_off", "OFF"}});
  entity("sensor", "talk_group", "Talk group", "{{ value_json.talk_group }}", {{"icon", "mdi:account-group"}});
  // "None" leaves a sensor unknown: nobody was heard yet.
  entity("sensor", "last_caller", "Last caller",
         newest + "{{ (c.callsign if c.callsign else c.source) if c is not none else none }}", {{"icon", "mdi:account-voice"}});
  entity("sensor", "last_caller_id", "Last caller ID", newest + "{{ c.source if c is not none else none }}",
         {{"icon", "mdi:identifier"}});
  entity("sensor", "last_call_direction", "Last call direction",
         newest + "{{ c.direction if c is not none else none }}", {{"icon", "mdi:swap-vertical"}});
  for (const char* way : {"from_network", "to_network"}) {
    entity("sensor", (std::string("calls_") + way).c_str(),
           way[0] == 'f' ? "Calls from the network" : "Calls to the network",
           std::string("{{ value_json.counters.calls_") + way + " }}",
           {{"state_class", "total_increasing"}, {"unit_of_measurement", "calls"}, {"icon", "mdi:phone-log"}});
  }
  return out;
}
