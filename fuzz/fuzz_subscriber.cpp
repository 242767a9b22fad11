// SPDX-License-Identifier: GPL-2.0-or-later
// A subscriber file in any of its forms: the input is the file's content. After
// loading, every ID and callsign found in the file is looked up, then a few that
// are not there; the clock then moves a day on so the next lookup reloads the file.
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/subscriber.h"

namespace fuzzing {

int subscriberFile(const uint8_t* data, size_t size) {
  quietLogging(true);
  static MemoryFile* file = new MemoryFile();
  if (!file->set(data, size)) return 0;
  ManualTime time;
  Subscriber database(file->path(), Clock(&time));
  std::vector<uint32_t> ids;
  std::vector<std::string> callsigns;
  // The columns as the file spells them, found the way the loader finds them.
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t lineStart = 0;
  while (lineStart < text.size() && ids.size() < 64) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string line = text.substr(lineStart, lineEnd - lineStart);
    size_t comma = line.find(',');
    ids.push_back(static_cast<uint32_t>(strtoul(line.c_str(), nullptr, 10)));
    if (comma != std::string::npos) {
      size_t next = line.find(',', comma + 1);
      callsigns.push_back(line.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1));
    } else {  // DMRIds.dat: the second run of neither TABs nor blanks
      size_t start = line.find_first_not_of(" \t", line.find_first_of(" \t", line.find_first_not_of(" \t")));
      if (start != std::string::npos) callsigns.push_back(line.substr(start, line.find_first_of(" \t\r", start) - start));
    }
    lineStart = lineEnd + 1;
  }
  ids.push_back(0);
  ids.push_back(0xFFFFFFFFu);
  callsigns.push_back("");
  callsigns.push_back("NOSUCHCALLSIGN");

  int failed = 0;
  for (uint32_t id : ids) {
    SUBINFO* found = database.findSubscriber(id);
    if (found != nullptr && (found->callsign == nullptr || found->name == nullptr)) ++failed;
  }
  for (const std::string& callsign : callsigns) {
    SUBINFO* found = database.findSubscriber(callsign.c_str());
    // A record found by callsign carries exactly that callsign.
    if (found != nullptr && strcmp(found->callsign, callsign.c_str()) != 0) ++failed;
  }

  time.advanceMs(86400001);  // a day and a millisecond: the next lookup reloads
  database.findSubscriber(ids.front());
  return failed;
}

}  // namespace fuzzing
