// SPDX-License-Identifier: GPL-2.0-or-later
// The subscriber database: radio ID, callsign and name of each line of a
// subscriber file, looked up by radio ID or by exact callsign. A file comes in one
// of three forms, told apart by its first line that is neither blank nor a '#'
// comment: plain comma-separated lines, a CSV with a line of column titles, or
// DMRIds.dat (columns split at TABs or blanks). The database
// owns every record and string. One thread creates it and looks up (the owner
// thread); a lookup that finds the table more than a day old starts a reload on
// the database's own thread and answers from the table it has. The reloaded table
// replaces the old one whole at the owner's next lookup, which also logs how the
// reload went; a returned record stays valid until the next lookup, so callers
// use it at once.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/mutex.h"

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
  // Loads "./subscriber_ids.csv".
  Subscriber();
  // The table's age is measured on the wall time of the clock (the system's by
  // default): a day on the calendar, as people set the file's updates.
  explicit Subscriber(std::string fileName, Clock clock = Clock());
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Adds the records of the file to the table; logs the number of distinct IDs
  // (and the form, unless plain comma-separated), or that the file was not found.
  // Either way the table's age starts anew.
  void loadSubscriberMap(const char* path);
  // Releases every record (also those displaced by a repeated ID or callsign).
  void freeSubscriberMap();
  // Replaces the table by a fresh load of the file, on the calling thread; a file
  // that cannot be read leaves the table as it is.
  void reloadSubscriberMap();

  // Null when there is no such record.
  SUBINFO* findSubscriber(uint32_t id);
  SUBINFO* findSubscriber(const char* callsign);

  // Distinct radio IDs in the table.
  size_t size() const { return table->idMap.size(); }

  // Waits until a reload that a lookup started has finished reading the file
  // (the next lookup then answers from its table). For tests.
  void waitForReload() EXCLUDES(reloadMutex);

 private:
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

  // The forms of a file; kUndecided until its first line that holds a record.
  enum class Form { kUndecided, kComma, kTitled, kDmrIds };
  // Where the titled form keeps its columns (-1: not among the titles).
  struct Columns {
    int id = -1;
    int callsign = -1;
    int firstName = -1;
    int lastName = -1;
    int needed = 0;  // fields to split off a row: one past the last of these
  };
  // What a load did: the number of distinct IDs in the table, or -1 when the file
  // cannot be opened or read; the form read; the lines of a titled or DMRIds.dat
  // file that held something but gave no record.
  struct LoadOutcome {
    int loaded = -1;
    Form form = Form::kUndecided;
    int skipped = 0;
  };
  // What a line of a titled or DMRIds.dat file gave.
  enum class Line { kRecord, kEmpty, kRejected };  // kEmpty: blank, or a comment
  // The form a file's line shows (filling the columns of a titles line), or
  // kUndecided for a blank line or a '#' comment.
  static Form detectForm(const char* line, Columns* columns);

  // One complete table: the indexes and the owners of what they point at, the
  // records (stable addresses) and the strings packed into large blocks.
  struct Table {
    std::vector<IdEntry> idMap;
    std::vector<CallsignEntry> callsignMap;
    std::deque<SUBINFO> records;
    std::vector<std::unique_ptr<char[]>> stringBlocks;
    size_t blockUsed = 0;
    size_t blockSize = 0;

    // Adds the file's records (when it cannot be read, the table may hold part
    // of it).
    LoadOutcome load(const char* path);
    // Each reads one line of its form, overwriting it, into a record.
    void addCommaLine(char* line);
    Line addTitledLine(char* line, const Columns& columns);
    Line addDmrIdsLine(char* line);
    // The name is a string of the table already.
    void addRecord(int32_t id, const char* callsign, size_t callsignLength, const char* name);
    char* copyString(const char* text, size_t length);
    char* newString(size_t length);  // room for length bytes and a zero byte
    // Sorts both indexes after a load (stable: file order within a key) and
    // keeps the last entry of each key.
    void rebuildIndexes();
  };

  static void logLoad(const LoadOutcome& outcome);
  void reloadIfOld();
  // Swaps in a table the reload thread has finished, and logs the outcome.
  void adoptReloaded() EXCLUDES(reloadMutex);
  static void* reloadSubscribers(void* self);
  void _reloadSubscribers() EXCLUDES(reloadMutex);

  std::unique_ptr<Table> table;  // the owner thread's
  int64_t loadTime = 0;          // the owner thread's: wall milliseconds
  Clock clock;                   // the owner thread alone reads it
  std::string fileName;

  // The reload thread, started by the first reload; it reads the file into a new
  // table and frees the table that a swap retired.
  Mutex reloadMutex;
  CondVar reloadChanged;                                  // with reloadMutex
  bool reloadWanted GUARDED_BY(reloadMutex) = false;
  bool reloadRunning GUARDED_BY(reloadMutex) = false;    // from the request to the finished read
  bool stopping GUARDED_BY(reloadMutex) = false;
  bool reloadFinished GUARDED_BY(reloadMutex) = false;   // an outcome not yet taken
  LoadOutcome reloadOutcome GUARDED_BY(reloadMutex);      // that outcome
  std::unique_ptr<Table> reloaded GUARDED_BY(reloadMutex);  // read in full, not yet swapped in
  std::unique_ptr<Table> retired GUARDED_BY(reloadMutex);   // swapped out, not yet freed
  bool reloadThreadStarted = false;       // the owner thread's
  pthread_t reloadThread{};
};
