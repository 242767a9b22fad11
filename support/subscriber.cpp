// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/subscriber.h"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
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

std::atomic<Subscriber::ClockFn> clockOverride{nullptr};

int64_t current_timestamp() {
  Subscriber::ClockFn clock = clockOverride.load(std::memory_order_relaxed);
  if (clock != nullptr) return clock();
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

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

Subscriber::Subscriber(std::string name) : table(new Table), fileName(std::move(name)) {
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

void Subscriber::setClock(ClockFn clock) { clockOverride.store(clock, std::memory_order_relaxed); }

char* Subscriber::Table::copyString(const char* text, size_t length) {
  if (stringBlocks.empty() || blockSize - blockUsed < length + 1) {
    blockSize = length + 1 > kStringBlockSize ? length + 1 : kStringBlockSize;
    stringBlocks.emplace_back(new char[blockSize]);
    blockUsed = 0;
  }
  char* copy = stringBlocks.back().get() + blockUsed;
  memcpy(copy, text, length);
  copy[length] = '\0';
  blockUsed += length + 1;
  return copy;
}

int Subscriber::Table::load(const char* path) {
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? fopen(path, "r") : nullptr);
  if (!file) return -1;
  setvbuf(file.get(), nullptr, _IOFBF, 64 * 1024);  // fewer reads of a big file

  char line[kLineBufferSize];
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    char* cursor = line;
    char* idText = nextColumn(&cursor);
    char* callsign = nextColumn(&cursor);
    char* name = nextColumn(&cursor);
    if (idText == nullptr || callsign == nullptr || name == nullptr) continue;

    size_t callsignLength = strlen(callsign);
    size_t nameLength = strlen(name);
    if (nameLength > 0 && name[nameLength - 1] == '\n') {
      --nameLength;
      if (nameLength > 0 && name[nameLength - 1] == '\r') --nameLength;  // a CR LF line end, as other tools write
    }

    records.push_back(SUBINFO{parseId(idText), nullptr, nullptr});
    SUBINFO* record = &records.back();
    record->callsign = copyString(callsign, callsignLength);
    record->name = copyString(name, nameLength);
    idMap.push_back(IdEntry{static_cast<uint32_t>(record->id), record});
    callsignMap.push_back(CallsignEntry{callsignPrefix(record->callsign), record});
  }
  // A path that opens but cannot be read (a directory, an I/O error) is as good
  // as missing.
  bool readable = !ferror(file.get());
  file.reset();
  rebuildIndexes();
  return readable ? static_cast<int>(idMap.size()) : -1;
}

void Subscriber::logLoad(int loaded) {
  if (loaded < 0) {
    logInstance.log(LOG_INFO, "Subscriber IDs file not found.\n");
  } else {
    logInstance.log(LOG_INFO, "Subscriber IDs loaded: %d\n", loaded);
  }
}

void Subscriber::loadSubscriberMap(const char* path) {
  logLoad(table->load(path));
  loadTime = current_timestamp();
}

void Subscriber::freeSubscriberMap() { table.reset(new Table); }

void Subscriber::reloadSubscriberMap() {
  std::unique_ptr<Table> fresh(new Table);
  int loaded = fresh->load(fileName.c_str());
  logLoad(loaded);
  if (loaded >= 0) table.swap(fresh);
  loadTime = current_timestamp();
}

void Subscriber::reloadIfOld() {
  adoptReloaded();
  int64_t now = current_timestamp();
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
  int loaded = 0;
  {
    MutexLock lock(reloadMutex);
    if (!reloadFinished) return;
    reloadFinished = false;
    loaded = reloadLoaded;
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
  logLoad(loaded);
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
      lock.lock();
      continue;
    }
    reloadWanted = false;
    lock.unlock();
    std::unique_ptr<Table> fresh(new Table);
    int loaded = fresh->load(fileName.c_str());
    if (loaded < 0) fresh.reset();  // the previous table stays
    lock.lock();
    // A reload finished earlier and not yet swapped in is superseded.
    if (fresh) reloaded = std::move(fresh);
    reloadLoaded = loaded;
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
