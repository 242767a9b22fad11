// SPDX-License-Identifier: GPL-2.0-or-later
// The subscriber database: radio ID, callsign and name of each line of a
// comma-separated file, looked up by radio ID or by exact callsign. A lookup
// reloads the file first when the table is more than a day old, so a returned
// record stays valid only until the next lookup; callers use it at once. The
// database owns every record and string. Not thread-safe: one thread creates it
// and looks up.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// One line of the file. The strings belong to the database.
struct SUBINFO {
  int32_t id;
  const char* callsign;
  const char* name;  // without the line end (LF or CR LF)
};

// Byte-wise ordering of callsigns: lookups are exact and case-sensitive.
struct cmp_str {
  bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
};

class Subscriber {
 public:
  // Milliseconds since the epoch.
  using ClockFn = int64_t (*)();

  // Loads "./subscriber_ids.csv".
  Subscriber();
  explicit Subscriber(std::string fileName);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Adds the records of the file to the table; logs the number of distinct IDs,
  // or that the file was not found. Either way the table's age starts anew.
  void loadSubscriberMap(const char* path);
  // Releases every record (also those displaced by a repeated ID or callsign).
  void freeSubscriberMap();
  void reloadSubscriberMap();

  // Null when there is no such record.
  SUBINFO* findSubscriber(uint32_t id);
  SUBINFO* findSubscriber(const char* callsign);

  // Distinct radio IDs in the table.
  size_t size() const { return idMap.size(); }

  // Test hook: a substitute millisecond clock for every database (nullptr
  // restores the wall clock).
  static void setClock(ClockFn clock);

 private:
  void reloadIfOld();
  char* copyString(const char* text, size_t length);

  // The two indexes are arrays sorted by key, one entry per distinct key, searched
  // by halving: much less memory than tree maps and few cache misses.
  struct IdEntry {
    uint32_t id;
    SUBINFO* record;
  };
  // The callsign's first eight bytes, big-endian and zero-padded, order like the
  // bytes themselves: most comparisons need no look at the text.
  struct CallsignEntry {
    uint64_t prefix;
    SUBINFO* record;
  };
  static uint64_t callsignPrefix(const char* callsign);
  static bool callsignBefore(const CallsignEntry& a, const CallsignEntry& b);
  // Sorts both indexes after a load (stable: file order within a key) and keeps
  // the last entry of each key.
  void rebuildIndexes();

  std::vector<IdEntry> idMap;
  std::vector<CallsignEntry> callsignMap;
  int64_t loadTime = 0;
  std::string fileName;

  // Owners of what the indexes point at: the records (stable addresses), and the
  // strings packed into large blocks.
  std::deque<SUBINFO> records;
  std::vector<std::unique_ptr<char[]>> stringBlocks;
  size_t blockUsed = 0;
  size_t blockSize = 0;
};
