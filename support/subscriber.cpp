#include "support/subscriber.h"

#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

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

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

Subscriber::Subscriber() : Subscriber(std::string(kDefaultFileName)) {}

Subscriber::Subscriber(std::string name) : fileName(std::move(name)) { loadSubscriberMap(fileName.c_str()); }

Subscriber::~Subscriber() { freeSubscriberMap(); }

void Subscriber::setClock(ClockFn clock) { clockOverride.store(clock, std::memory_order_relaxed); }

char* Subscriber::copyString(const char* text, size_t length) {
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

void Subscriber::loadSubscriberMap(const char* path) {
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? fopen(path, "r") : nullptr);
  if (!file) {
    logInstance.log(LOG_INFO, "Subscriber IDs file not found.\n");
    loadTime = current_timestamp();
    return;
  }
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
    if (nameLength > 0 && name[nameLength - 1] == '\n') --nameLength;  // a carriage return stays

    records.push_back(SUBINFO{parseId(idText), nullptr, nullptr});
    SUBINFO* record = &records.back();
    char* callsignCopy = copyString(callsign, callsignLength);
    record->callsign = callsignCopy;
    record->name = copyString(name, nameLength);

    // The last line wins in each index separately. Files are usually sorted by
    // ID: appending at the end then costs no search.
    uint32_t key = static_cast<uint32_t>(record->id);
    if (!idMap.empty() && idMap.rbegin()->first < key) {
      idMap.emplace_hint(idMap.end(), key, record);
    } else {
      idMap[key] = record;
    }
    callsignMap[callsignCopy] = record;
  }
  file.reset();
  logInstance.log(LOG_INFO, "Subscriber IDs loaded: %d\n", static_cast<int>(idMap.size()));
  loadTime = current_timestamp();
}

void Subscriber::freeSubscriberMap() {
  idMap.clear();
  callsignMap.clear();
  records.clear();
  records.shrink_to_fit();
  stringBlocks.clear();
  stringBlocks.shrink_to_fit();
  blockUsed = 0;
  blockSize = 0;
}

void Subscriber::reloadSubscriberMap() {
  freeSubscriberMap();
  loadSubscriberMap(fileName.c_str());
}

void Subscriber::reloadIfOld() {
  int64_t age = current_timestamp() - loadTime;
  // A wall clock set back by more than a day (a board that booted with a wrong
  // date) counts as old too, or the table would not be reloaded until the clock
  // caught up again.
  if (age > kMaxAgeMs || age < -kMaxAgeMs) reloadSubscriberMap();
}

SUBINFO* Subscriber::findSubscriber(uint32_t id) {
  reloadIfOld();
  auto found = idMap.find(id);
  return found != idMap.end() ? found->second : nullptr;
}

SUBINFO* Subscriber::findSubscriber(const char* callsign) {
  reloadIfOld();
  if (callsign == nullptr) return nullptr;
  auto found = callsignMap.find(callsign);
  return found != callsignMap.end() ? found->second : nullptr;
}
