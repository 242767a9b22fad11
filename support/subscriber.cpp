// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/subscriber.h"

#include <malloc.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/thread_entry.h"
#include "support/voice_priority.h"
#include "telemetry/log_class.h"

namespace {

constexpr const char* kDefaultFileName = "./subscriber_ids.csv";
constexpr int64_t kMaxAgeMs = 86400000;  // 24 hours
// fgets reads at most 2047 characters of a line; the rest comes as the next line.
constexpr int kLineBufferSize = 2048;
constexpr size_t kStringBlockSize = 64 * 1024;
// Titles further right than this are not looked at.
constexpr int kMaxTitledColumns = 32;
constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Like strtok with ",": skips leading separators, ends the token at the next one
// (overwritten by a zero byte) and returns the token, or null when none is left.
char* nextColumn(char** cursor) {
  char* start = *cursor;
  while (*start == ',') ++start;
  if (*start == '\0') {
    *cursor = start;
    return nullptr;
  }
  char* end = start;
  while (*end != '\0' && *end != ',') ++end;
  if (*end == ',') *end++ = '\0';
  *cursor = end;
  return start;
}

// atoi without its undefined overflow: the value strtol gives (clamped to the
// range of long), narrowed to 32 bits as atoi does on this platform.
int32_t parseId(const char* text) {
  int savedErrno = errno;
  long value = strtol(text, nullptr, 10);
  errno = savedErrno;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Gives the pages of a freed table back to the system. The allocator returns by
// itself only what lies at the top of a heap: the records of a table freed in the
// middle of one, and whatever else was freed there since (the broker's backlog
// once sent), would stay resident, a little more after each daily reload. The
// trim takes each arena's lock in turn, only while it walks that arena's free
// chunks; the voice threads' arenas are small, so it holds theirs for
// microseconds.
void giveBackFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// Cuts the line end (LF or CR LF) off a line; the length left.
size_t cutLineEnd(char* line) {
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') --length;
  if (length > 0 && line[length - 1] == '\r') --length;
  line[length] = '\0';
  return length;
}

struct Field {
  const char* text;
  size_t length;
};

// Splits a line without its line end into comma-separated fields, in place. A
// field in double quotes may hold commas, and "" inside it stands for one quote;
// the blanks around a field are dropped. Fills at most maxFields; the number
// filled.
int splitFields(char* line, Field* fields, int maxFields) {
  int count = 0;
  char* read = line;
  while (count < maxFields) {
    while (isBlank(*read)) ++read;
    char* start = read;
    char* end = read;
    if (*read == '"') {
      start = end = ++read;  // the unquoted text is written over the quoted one
      while (*read != '\0') {
        if (*read == '"' && read[1] != '"') {
          ++read;
          break;
        }
        if (*read == '"') ++read;
        *end++ = *read++;
      }
    }
    while (*read != '\0' && *read != ',') *end++ = *read++;  // after a closing quote too
    while (end > start && isBlank(end[-1])) --end;
    while (start < end && isBlank(*start)) ++start;  // inside quotes too
    fields[count++] = Field{start, static_cast<size_t>(end - start)};
    if (*read != ',') break;
    ++read;
  }
  return count;
}

bool isTitle(const Field& field, const char* title) {
  return field.length == strlen(title) && strncasecmp(field.text, title, field.length) == 0;
}

// The ID of a titled or DMRIds.dat line: decimal digits only, up to 4294967295;
// stored in 32 bits as the comma form stores it.
bool parseDigits(const char* text, size_t length, int32_t* id) {
  if (length == 0 || length > 10) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  *id = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

// Keeps, of each run of entries with the same key in a sorted array, the last.
template <typename Entry, typename SameKey>
void keepLastOfEachKey(std::vector<Entry>& entries, SameKey sameKey) {
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && sameKey(entries[i], entries[i + 1])) continue;  // a later one follows
    entries[kept++] = entries[i];
  }
  entries.resize(kept);
}

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

Subscriber::Subscriber() : Subscriber(std::string(kDefaultFileName)) {}

Subscriber::Subscriber(std::string name, Clock source) : table(new Table), clock(source), fileName(std::move(name)) {
  loadSubscriberMap(fileName.c_str());
}

Subscriber::~Subscriber() {
  if (reloadThreadStarted) {
    {
      MutexLock lock(reloadMutex);
      stopping = true;
    }
    reloadChanged.notifyAll();
    pthread_join(reloadThread, nullptr);
  }
}

char* Subscriber::Table::newString(size_t length) {
  if (stringBlocks.empty() || blockSize - blockUsed < length + 1) {
    blockSize = length + 1 > kStringBlockSize ? length + 1 : kStringBlockSize;
    stringBlocks.emplace_back(new char[blockSize]);
    blockUsed = 0;
  }
  char* room = stringBlocks.back().get() + blockUsed;
  blockUsed += length + 1;
  return room;
}

char* Subscriber::Table::copyString(const char* text, size_t length) {
  char* copy = newString(length);
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

Subscriber::Form Subscriber::detectForm(const char* line, Columns* columns) {
  const char* at = line;
  while (isBlank(*at)) ++at;
  if (*at == '\0' || *at == '\n' || *at == '\r' || *at == '#') return Form::kUndecided;
  if (*at >= '0' && *at <= '9') {
    // An ID, TABs or blanks, then anything but a comma: DMRIds.dat, even when
    // a name further on holds a comma.
    while (*at >= '0' && *at <= '9') ++at;
    if (!isBlank(*at)) return Form::kComma;
    while (isBlank(*at)) ++at;
    return *at == ',' || *at == '\0' || *at == '\n' || *at == '\r' ? Form::kComma : Form::kDmrIds;
  }
  char titles[kLineBufferSize];
  snprintf(titles, sizeof(titles), "%s", at);
  cutLineEnd(titles);
  Field fields[kMaxTitledColumns];
  int count = splitFields(titles, fields, kMaxTitledColumns);
  Columns found;
  for (int i = 0; i < count; ++i) {
    int* column = isTitle(fields[i], "RADIO_ID")     ? &found.id
                  : isTitle(fields[i], "CALLSIGN")   ? &found.callsign
                  : isTitle(fields[i], "FIRST_NAME") ? &found.firstName
                  : isTitle(fields[i], "LAST_NAME")  ? &found.lastName
                                                     : nullptr;
    if (column != nullptr && *column < 0) *column = i;
  }
  if (found.id < 0 || found.callsign < 0) return Form::kComma;
  found.needed = 1 + std::max(std::max(found.id, found.callsign), std::max(found.firstName, found.lastName));
  *columns = found;
  return Form::kTitled;
}

Subscriber::LoadOutcome Subscriber::Table::load(const char* path) {
  LoadOutcome outcome;
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? fopen(path, "r") : nullptr);
  if (!file) return outcome;
  setvbuf(file.get(), nullptr, _IOFBF, 64 * 1024);  // fewer reads of a big file

  // Until the form is known the lines, blanks and comments so far, are read as
  // comma-separated; another form takes back what they gave.
  const size_t recordsBefore = records.size();
  const size_t idsBefore = idMap.size();
  const size_t callsignsBefore = callsignMap.size();
  Form form = Form::kUndecided;
  Columns columns;
  bool firstRead = true;
  bool partOfLine = false;  // the read was the first part of a line longer than the buffer
  char line[kLineBufferSize];
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    if (form != Form::kComma) {
      size_t length = strlen(line);
      bool rest = partOfLine;
      partOfLine = length == sizeof(line) - 1 && line[length - 1] != '\n' && !feof(file.get());
      char* text = line;
      if (firstRead && strncmp(line, kByteOrderMark, 3) == 0) text += 3;  // as some editors begin a file
      firstRead = false;
      if (form == Form::kUndecided && !rest) {
        form = detectForm(text, &columns);
        if (form == Form::kTitled || form == Form::kDmrIds) {
          records.resize(recordsBefore);
          idMap.resize(idsBefore);
          callsignMap.resize(callsignsBefore);
          if (form == Form::kTitled) continue;  // the titles are no record
        }
      }
      if (form == Form::kTitled || form == Form::kDmrIds) {
        // A line longer than the buffer gives no record; its parts are not lines.
        if (rest) continue;
        if (partOfLine) {
          ++outcome.skipped;
        } else if ((form == Form::kTitled ? addTitledLine(text, columns) : addDmrIdsLine(text)) == Line::kRejected) {
          ++outcome.skipped;
        }
        continue;
      }
    }
    addCommaLine(line);
  }
  // A path that opens but cannot be read (a directory, an I/O error) is as good
  // as missing.
  bool readable = !ferror(file.get());
  file.reset();
  rebuildIndexes();
  outcome.form = form == Form::kUndecided ? Form::kComma : form;
  outcome.loaded = readable ? static_cast<int>(idMap.size()) : -1;
  return outcome;
}

inline void Subscriber::Table::addCommaLine(char* line) {
  char* cursor = line;
  char* idText = nextColumn(&cursor);
  char* callsign = nextColumn(&cursor);
  char* name = nextColumn(&cursor);
  if (idText == nullptr || callsign == nullptr || name == nullptr) return;

  size_t callsignLength = strlen(callsign);
  size_t nameLength = strlen(name);
  if (nameLength > 0 && name[nameLength - 1] == '\n') {
    --nameLength;
    if (nameLength > 0 && name[nameLength - 1] == '\r') --nameLength;  // a CR LF line end, as other tools write
  }
  addRecord(parseId(idText), callsign, callsignLength, copyString(name, nameLength));
}

Subscriber::Line Subscriber::Table::addTitledLine(char* line, const Columns& columns) {
  cutLineEnd(line);
  const char* at = line;
  while (isBlank(*at)) ++at;
  if (*at == '\0') return Line::kEmpty;
  Field fields[kMaxTitledColumns];
  int count = splitFields(line, fields, columns.needed);
  int32_t id = 0;
  // A short row still gives the ID and the callsign.
  if (count <= columns.id || count <= columns.callsign) return Line::kRejected;
  const Field& callsign = fields[columns.callsign];
  if (callsign.length == 0 || !parseDigits(fields[columns.id].text, fields[columns.id].length, &id)) {
    return Line::kRejected;
  }
  const Field none{"", 0};
  const Field& first = columns.firstName >= 0 && columns.firstName < count ? fields[columns.firstName] : none;
  const Field& last = columns.lastName >= 0 && columns.lastName < count ? fields[columns.lastName] : none;
  bool both = first.length > 0 && last.length > 0;
  size_t nameLength = first.length + (both ? 1 : 0) + last.length;
  char* name = newString(nameLength);
  memcpy(name, first.text, first.length);
  if (both) name[first.length] = ' ';
  memcpy(name + nameLength - last.length, last.text, last.length);
  name[nameLength] = '\0';
  addRecord(id, callsign.text, callsign.length, name);
  return Line::kRecord;
}

Subscriber::Line Subscriber::Table::addDmrIdsLine(char* line) {
  char* end = line + cutLineEnd(line);
  char* at = line;
  while (isBlank(*at)) ++at;
  if (*at == '\0' || *at == '#') return Line::kEmpty;
  const char* idText = at;
  while (*at != '\0' && !isBlank(*at)) ++at;
  size_t idLength = static_cast<size_t>(at - idText);
  while (isBlank(*at)) ++at;
  const char* callsign = at;
  while (*at != '\0' && !isBlank(*at)) ++at;
  size_t callsignLength = static_cast<size_t>(at - callsign);
  int32_t id = 0;
  if (callsignLength == 0 || !parseDigits(idText, idLength, &id)) return Line::kRejected;
  // The name is the rest, trimmed; a TAB inside it becomes a blank.
  while (isBlank(*at)) ++at;
  while (end > at && isBlank(end[-1])) --end;
  char* name = copyString(at, static_cast<size_t>(end - at));
  for (char* tab = name; (tab = strchr(tab, '\t')) != nullptr;) *tab++ = ' ';
  addRecord(id, callsign, callsignLength, name);
  return Line::kRecord;
}

inline void Subscriber::Table::addRecord(int32_t id, const char* callsign, size_t callsignLength, const char* name) {
  records.push_back(SUBINFO{id, copyString(callsign, callsignLength), name});
  SUBINFO* record = &records.back();
  idMap.push_back(IdEntry{static_cast<uint32_t>(record->id), record});
  callsignMap.push_back(CallsignEntry{callsignPrefix(record->callsign), record});
}

void Subscriber::logLoad(const LoadOutcome& outcome) {
  if (outcome.loaded < 0) {
    logInstance.log(LOG_INFO, "Subscriber IDs file not found.\n");
    return;
  }
  logInstance.log(LOG_INFO, "Subscriber IDs loaded: %d\n", outcome.loaded);
  // The comma form, the oldest, says nothing more.
  const char* form = outcome.form == Form::kTitled   ? "CSV with column titles"
                     : outcome.form == Form::kDmrIds ? "DMRIds.dat"
                                                     : nullptr;
  if (form == nullptr) return;
  if (outcome.skipped > 0) {
    logInstance.log(LOG_INFO, "Subscriber file read as %s; lines skipped: %d\n", form, outcome.skipped);
  } else {
    logInstance.log(LOG_INFO, "Subscriber file read as %s\n", form);
  }
}

void Subscriber::loadSubscriberMap(const char* path) {
  logLoad(table->load(path));
  loadTime = clock.wallMs();
}

void Subscriber::freeSubscriberMap() { table.reset(new Table); }

void Subscriber::reloadSubscriberMap() {
  std::unique_ptr<Table> fresh(new Table);
  LoadOutcome outcome = fresh->load(fileName.c_str());
  logLoad(outcome);
  if (outcome.loaded >= 0) table.swap(fresh);
  loadTime = clock.wallMs();
}

void Subscriber::reloadIfOld() {
  adoptReloaded();
  int64_t now = clock.wallMs();
  int64_t age = now - loadTime;
  // A wall clock set back by more than a day (a board that booted with a wrong
  // date) counts as old too, or the table would not be reloaded until the clock
  // caught up again.
  if (age <= kMaxAgeMs && age >= -kMaxAgeMs) return;
  // The age starts anew with the request, so a file that is missing is asked for
  // again a day later.
  loadTime = now;
  if (!reloadThreadStarted) {
    if (pthread_create(&reloadThread, nullptr, reloadSubscribers, this) != 0) {
      // Without a thread of its own the table is reloaded right here, as a
      // small board with no threads left still wants fresh names.
      reloadSubscriberMap();
      return;
    }
    reloadThreadStarted = true;
  }
  {
    MutexLock lock(reloadMutex);
    reloadWanted = true;
    reloadRunning = true;
  }
  reloadChanged.notifyAll();
}

void Subscriber::adoptReloaded() {
  if (!reloadThreadStarted) return;
  LoadOutcome outcome;
  {
    MutexLock lock(reloadMutex);
    if (!reloadFinished) return;
    reloadFinished = false;
    outcome = reloadOutcome;
    if (reloaded) {
      // The old table is freed on the reload thread: releasing a few hundred
      // thousand records takes longer than a lookup should.
      table.swap(reloaded);
      retired = std::move(reloaded);
    }
  }
  reloadChanged.notifyAll();
  // Logged here rather than on the reload thread, which runs at the lowest
  // priority: it must never hold the logger's lock that a voice thread waits for.
  logLoad(outcome);
}

void Subscriber::waitForReload() {
  MutexLock lock(reloadMutex);
  reloadChanged.wait(reloadMutex, [this]() REQUIRES(reloadMutex) { return !reloadRunning; });
}

void* Subscriber::reloadSubscribers(void* self) { return runOperation(self, &Subscriber::_reloadSubscribers); }

void Subscriber::_reloadSubscribers() {
  pthread_setname_np(pthread_self(), "reloadSubscribe");  // the platform allows 15 characters
  // Reading the file is never urgent: the thread leaves the cores to the voice
  // threads it may have inherited a real-time priority from.
  lowerToBackground();
  MutexLock lock(reloadMutex);
  for (;;) {
    reloadChanged.wait(reloadMutex, [this]() REQUIRES(reloadMutex) { return stopping || reloadWanted || retired; });
    if (stopping) return;
    if (retired) {
      std::unique_ptr<Table> old = std::move(retired);
      lock.unlock();
      old.reset();
      giveBackFreedMemory();
      lock.lock();
      continue;
    }
    reloadWanted = false;
    lock.unlock();
    std::unique_ptr<Table> fresh(new Table);
    LoadOutcome outcome = fresh->load(fileName.c_str());
    if (outcome.loaded < 0) fresh.reset();  // the previous table stays
    lock.lock();
    // A reload finished earlier and not yet swapped in is superseded.
    if (fresh) reloaded = std::move(fresh);
    reloadOutcome = outcome;
    reloadFinished = true;
    if (!reloadWanted) reloadRunning = false;
    reloadChanged.notifyAll();
  }
}

SUBINFO* Subscriber::findSubscriber(uint32_t id) {
  reloadIfOld();
  const std::vector<IdEntry>& idMap = table->idMap;
  auto found = std::lower_bound(idMap.begin(), idMap.end(), id,
                                [](const IdEntry& entry, uint32_t key) { return entry.id < key; });
  return found != idMap.end() && found->id == id ? found->record : nullptr;
}

SUBINFO* Subscriber::findSubscriber(const char* callsign) {
  reloadIfOld();
  if (callsign == nullptr) return nullptr;
  SUBINFO probe{0, callsign, ""};
  CallsignEntry key{callsignPrefix(callsign), &probe};
  const std::vector<CallsignEntry>& callsignMap = table->callsignMap;
  auto found = std::lower_bound(callsignMap.begin(), callsignMap.end(), key, callsignBefore);
  return found != callsignMap.end() && !callsignBefore(key, *found) ? found->record : nullptr;
}

uint64_t Subscriber::callsignPrefix(const char* callsign) {
  uint64_t prefix = 0;
  for (int i = 0; i < 8 && callsign[i] != '\0'; ++i) {
    prefix |= static_cast<uint64_t>(static_cast<unsigned char>(callsign[i])) << (56 - 8 * i);
  }
  return prefix;
}

bool Subscriber::callsignBefore(const CallsignEntry& a, const CallsignEntry& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  // Equal prefixes that end within eight bytes are equal texts; longer ones
  // differ, if at all, after the eighth byte.
  if ((a.prefix & 0xff) == 0) return false;
  return cmp_str()(a.record->callsign + 8, b.record->callsign + 8);
}

void Subscriber::Table::rebuildIndexes() {
  // Entries of one key keep their file order (stable sort, earlier loads first),
  // so the last line wins in each index separately. A file sorted by ID needs no
  // sorting at all.
  auto idBefore = [](const IdEntry& a, const IdEntry& b) { return a.id < b.id; };
  if (!std::is_sorted(idMap.begin(), idMap.end(), idBefore)) {
    std::stable_sort(idMap.begin(), idMap.end(), idBefore);
  }
  keepLastOfEachKey(idMap, [](const IdEntry& a, const IdEntry& b) { return a.id == b.id; });

  if (!std::is_sorted(callsignMap.begin(), callsignMap.end(), callsignBefore)) {
    std::stable_sort(callsignMap.begin(), callsignMap.end(), callsignBefore);
  }
  keepLastOfEachKey(callsignMap,
                    [](const CallsignEntry& a, const CallsignEntry& b) { return !callsignBefore(a, b); });
}
