// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_publisher.h"

#include <nlohmann/json.hpp>

#include <utility>

#include "telemetry/mqtt.h"
#include "telemetry/publish.h"
#include "telemetry/status_page.h"

namespace {

using nlohmann::json;

// /status.json of the snapshot with only the given calls in last heard: the
// link, the talk group and those calls exactly as the status page names them.
json rendered(const StatusSnapshot& snapshot, std::vector<StatusCall> calls) {
  StatusSnapshot copy = snapshot;
  copy.lastHeard = std::move(calls);
  json parsed = json::parse(StatusPage::json(copy), nullptr, false);
  return parsed.is_object() ? parsed : json::object();
}

json member(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() ? *found : json(nullptr);
}

std::string text(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

StatusPublisher::StatusPublisher(MQTT& mqtt, const StatusBoard& statusBoard, const std::string& baseTopic,
                                 bool withCounters)
    : client(mqtt),
      board(statusBoard),
      stateTopic(baseTopic + "/status"),
      callTopic(baseTopic + "/call"),
      counters(withCounters) {}

std::string StatusPublisher::stateJson(const StatusSnapshot& snapshot, bool counters) {
  // The newest call each way, on air or ended (last heard is newest first).
  std::vector<StatusCall> last;
  const StatusCall* fromNetwork = nullptr;
  const StatusCall* toNetwork = nullptr;
  for (const StatusCall& call : snapshot.lastHeard) {
    const StatusCall*& slot = call.way == StatusWay::FromNetwork ? fromNetwork : toNetwork;
    if (slot == nullptr) slot = &call;
  }
  if (fromNetwork != nullptr) last.push_back(*fromNetwork);
  if (toNetwork != nullptr) last.push_back(*toNetwork);
  json page = rendered(snapshot, last);
  json heard = member(page, "last_heard");
  json calls = {{"from_network", nullptr}, {"to_network", nullptr}};
  for (size_t i = 0; i < last.size() && heard.is_array() && i < heard.size(); ++i) {
    calls[last[i].way == StatusWay::FromNetwork ? "from_network" : "to_network"] = heard[i];
  }
  json state = {{"link", member(page, "link")}, {"talk_group", member(page, "talk_group")}, {"last_call", calls}};
  if (counters) {
    // Only the calls: they change with last_call, so the state is sent no more often.
    json counted = member(page, "counters");
    state["counters"] = {{"calls_from_network", member(counted, "calls_from_network")},
                         {"calls_to_network", member(counted, "calls_to_network")}};
  }
  return text(state);
}

std::string StatusPublisher::callJson(const StatusSnapshot& snapshot, const StatusCall& call, bool ended) {
  json heard = member(rendered(snapshot, {call}), "last_heard");
  json message = heard.is_array() && !heard.empty() && heard[0].is_object() ? heard[0] : json::object();
  // How long, how many frames and how well are known at the end only.
  if (!ended) {
    for (const char* figure : {"duration_ms", "frames", "lost", "duplicates", "out_of_order", "late", "filled", "gaps",
                               "jitter_ms", "loss_percent"}) {
      message.erase(figure);
    }
  }
  message["event"] = ended ? "end" : "start";
  return text(message);
}

void StatusPublisher::publishState() {
  MutexLock lock(mutex);
  // A fresh copy, not the listener's: whichever report comes last publishes
  // the newest state.
  std::string state = stateJson(board.snapshot(), counters);
  if (state == lastState) return;
  lastState = state;
  client.publishState(stateTopic.c_str(), state.c_str());
}

void StatusPublisher::changed(StatusChange change, const StatusSnapshot& snapshot, const StatusCall* call) {
  if (call != nullptr && (change == StatusChange::CallBegan || change == StatusChange::CallEnded)) {
    std::string message = callJson(snapshot, *call, change == StatusChange::CallEnded);
    client.publish(new Publish(callTopic.c_str(), message.c_str(), QOS0));
  }
  publishState();
}
