// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools/road/road_model.h"

#include <stdlib.h>

#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool parseProbability(const std::string& text, double* value) {
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0 && v <= 1)) return false;
  *value = v;
  return true;
}

bool parseMilliseconds(const std::string& text, int* value) {
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v > 60000) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

bool RoadSpec::perfect() const {
  return loss == 0 && burstEnter == 0 && delayMs == 0 && jitterMs == 0 && duplicate == 0 && reorder == 0;
}

bool parseRoadSpec(const std::string& text, RoadSpec* spec, std::string* error) {
  if (text.empty()) return true;
  for (const std::string& item : split(text, ',')) {
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    bool ok = equals != std::string::npos;
    if (!ok) {
    } else if (name == "loss") {
      ok = parseProbability(value, &spec->loss);
    } else if (name == "burst") {
      std::vector<std::string> parts = split(value, ':');
      ok = (parts.size() == 2 || parts.size() == 3) && parseProbability(parts[0], &spec->burstEnter) &&
           parseProbability(parts[1], &spec->burstLeave);
      spec->burstLoss = 1;
      if (ok && parts.size() == 3) ok = parseProbability(parts[2], &spec->burstLoss);
    } else if (name == "delay") {
      ok = parseMilliseconds(value, &spec->delayMs);
    } else if (name == "jitter") {
      ok = parseMilliseconds(value, &spec->jitterMs);
    } else if (name == "dup") {
      ok = parseProbability(value, &spec->duplicate);
    } else if (name == "reorder") {
      ok = parseProbability(value, &spec->reorder);
    } else {
      *error = "unknown item '" + item + "' (loss, burst, delay, jitter, dup, reorder)";
      return false;
    }
    if (!ok) {
      *error = "bad item '" + item + "': probabilities are 0 to 1, times 0 to 60000 ms, burst=ENTER:LEAVE[:LOSS]";
      return false;
    }
  }
  return true;
}

RoadModel::RoadModel(const RoadSpec& spec, uint64_t seed) : spec(spec), state(seed) {}

uint64_t RoadModel::draw() {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double RoadModel::uniform() { return static_cast<double>(draw() >> 11) * (1.0 / 9007199254740992.0); }

RoadDecision RoadModel::next() {
  const double move = uniform(), randomLoss = uniform(), burstLoss = uniform(), jitter = uniform(),
               duplicate = uniform(), reorder = uniform();
  bad = bad ? move >= spec.burstLeave : move < spec.burstEnter;
  RoadDecision d;
  d.lost = randomLoss < spec.loss || (bad && burstLoss < spec.burstLoss);
  d.delayUs = static_cast<int64_t>(spec.delayMs) * 1000 +
              static_cast<int64_t>(jitter * (static_cast<double>(spec.jitterMs) * 1000.0 + 1.0));
  d.doubled = duplicate < spec.duplicate;
  d.heldBack = reorder < spec.reorder;
  return d;
}
