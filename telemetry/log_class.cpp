// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/log_class.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "telemetry/broker.h"
#include "telemetry/mqtt.h"
#include "telemetry/publish.h"

namespace {

// Level letters, indexed by level. Levels above 6 are never passed; they show '?'.
const char LEVELS[] = " DMIWEF";

char levelLetter(unsigned int level) { return level < sizeof(LEVELS) - 1 ? LEVELS[level] : '?'; }

// Opens the log file for appending. A file it creates is 0640 whatever the umask:
// the log names callers and servers, so it is not for every user of the machine.
// An existing file keeps the mode it has.
FILE* openForAppend(const char* path) {
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd >= 0) {
    fchmod(fd, 0640);
  } else if (errno == EEXIST) {
    fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a+");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

LOG_CLASS logInstance;

LOG_CLASS::LOG_CLASS() = default;

LOG_CLASS::~LOG_CLASS() {
  // The file stays open: the process is ending and the kernel closes it.
  if (mqtt != nullptr) detachBroker();
}

void LOG_CLASS::log(unsigned int level, const char* format, ...) {
  // A line below the threshold has no effect: skip the clock and the formatting.
  unsigned int threshold = logLevel.load(std::memory_order_relaxed);
  if (threshold == 0 || level < threshold) return;

  char line[kLineSize];

  const struct timeval now = clock.load(std::memory_order_relaxed).wallTimeval();
  struct tm utc;
  time_t seconds = now.tv_sec;
  gmtime_r(&seconds, &utc);
  int prefix = snprintf(line, sizeof(line), "%c: %04d-%02d-%02d %02d:%02d:%02d.%03u ", levelLetter(level),
                        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                        static_cast<unsigned>(now.tv_usec / 1000) % 1000);
  if (prefix < 0 || static_cast<size_t>(prefix) >= sizeof(line)) prefix = 0;

  MutexLock lock(logMutex);
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line + prefix, sizeof(line) - prefix, format, args);
  va_end(args);
  // A message too long for the line is cut; keep its line end so lines never run together.
  if (length >= 0 && static_cast<size_t>(prefix + length) >= sizeof(line)) {
    line[sizeof(line) - 2] = '\n';
    line[sizeof(line) - 1] = '\0';
  }
  emit(level, line);
}

void LOG_CLASS::emit(unsigned int level, const char* line) {
  fputs(line, stdout);
  if (mqtt != nullptr) forwardLine(level, line);
  if (observer != nullptr) observer(observerContext, level, line);

  if (closeRequested.exchange(false) && logFile != nullptr) {
    fclose(logFile);
    logFile = nullptr;
  }
  char name[] = "ZELK";
  if (logOpen(name)) {
    if (fprintf(logFile, "%s", line) <= 0) {
      fclose(logFile);
      logFile = nullptr;
    } else {
      fflush(logFile);
    }
  }
}

// Under the log lock: queues the line (never waits for the network).
void LOG_CLASS::forwardLine(unsigned int level, const char* line) {
  mqtt->publish(new Publish(mqttTopic, line, QOS0));
  if (level == LOG_FATAL) mqtt->publish(new Publish(kBrokerErrorTopic, line, QOS0));
}

// From the destructor: later lines are no longer forwarded; then the client sends
// what was queued, stops its threads and says goodbye to the broker.
void LOG_CLASS::detachBroker() {
  MQTT* client = nullptr;
  {
    MutexLock lock(logMutex);
    client = mqtt;
    mqtt = nullptr;
    mqttTopic = nullptr;
  }
  if (client != nullptr) client->disconnect();
}

bool LOG_CLASS::logOpen(const char* name) {
  if (logFile != nullptr) return true;
  char path[1024];
  const char* dir = getenv("ZELK_LOG");
  if (dir != nullptr) {
    snprintf(path, sizeof(path), "%s/%s.log", dir, name);
  } else {
    snprintf(path, sizeof(path), "/var/log/%s.log", name);
  }
  logFile = openForAppend(path);
  if (logFile == nullptr) {
    snprintf(path, sizeof(path), "./%s.log", name);
    logFile = openForAppend(path);
  }
  return logFile != nullptr;
}

int LOG_CLASS::logClose() {
  // The close itself happens under the log lock, before the next emitted line.
  closeRequested.store(true);
  return 0;
}

void LOG_CLASS::setLogLevel(int level) { logLevel.store(static_cast<unsigned int>(level), std::memory_order_relaxed); }

void LOG_CLASS::setBroker(MQTT* client, const char* topic) {
  MutexLock lock(logMutex);
  mqtt = client;
  mqttTopic = topic;
}

void LOG_CLASS::setLineObserver(LineObserver lineObserver, void* context) {
  MutexLock lock(logMutex);
  observer = lineObserver;
  observerContext = context;
}

void LOG_CLASS::dump(int level, const char* title, const unsigned char* data, unsigned int length) {
  log(static_cast<unsigned int>(level), "%s\n", title);
  for (unsigned int offset = 0; offset < length; offset += 16) {
    char text[48 + 4 + 16 + 1 + 1];
    char* out = text;
    unsigned int chunk = length - offset < 16 ? length - offset : 16;
    for (unsigned int i = 0; i < 16; ++i) {
      if (i < chunk) {
        static const char hex[] = "0123456789ABCDEF";
        *out++ = hex[data[offset + i] >> 4];
        *out++ = hex[data[offset + i] & 0x0F];
        *out++ = ' ';
      } else {
        memcpy(out, "   ", 3);
        out += 3;
      }
    }
    memcpy(out, "   *", 4);
    out += 4;
    for (unsigned int i = 0; i < chunk; ++i) {
      unsigned char c = data[offset + i];
      *out++ = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    }
    *out++ = '*';
    *out = '\0';
    log(static_cast<unsigned int>(level), "%04X:  %s\n", offset, text);
  }
}
