// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's one logger. Every thread logs through the global logInstance;
// each emitted line gets a level letter and a UTC time stamp and goes to standard
// output, the log file and, once a broker is attached, to MQTT. log and dump are
// safe from any thread; setLogLevel and setBroker are start-up calls made before
// the worker threads exist. logClose only raises a flag, so it is safe from the
// signal thread while another thread holds the log lock.
#pragma once

#include <atomic>
#include <cstdio>

#include "base/clock.h"
#include "base/mutex.h"

class MQTT;

enum LogLevel : unsigned int {
  LOG_DEBUG = 1,    // D: per-frame traces, talker alias details
  LOG_MESSAGE = 2,  // M: message traces, configuration echo
  LOG_INFO = 3,     // I: banner, calls, logins
  LOG_WARNING = 4,  // W
  LOG_ERROR = 5,    // E
  LOG_FATAL = 6,    // F: also published on "trelvane/error"
};

class LOG_CLASS {
 public:
  // One line: the 27-character prefix, the message and the terminating NUL.
  static constexpr size_t kLineSize = 1024;
  static constexpr size_t kPrefixLength = 27;

  using LineObserver = void (*)(void* context, unsigned int level, const char* line);

  LOG_CLASS();
  ~LOG_CLASS();
  LOG_CLASS(const LOG_CLASS&) = delete;
  LOG_CLASS& operator=(const LOG_CLASS&) = delete;

  void log(unsigned int level, const char* format, ...) __attribute__((format(printf, 3, 4))) EXCLUDES(logMutex);
  void dump(int level, const char* title, const unsigned char* data, unsigned int length) EXCLUDES(logMutex);

  // Opens <dir>/<name>.log when no file is open; see the path rule in the source.
  bool logOpen(const char* name) REQUIRES(logMutex);
  // Asks for the file to be closed: the next emitted line reopens it by the path rule.
  int logClose();
  void setLogLevel(int level);
  unsigned int getLogLevel() const { return logLevel.load(std::memory_order_relaxed); }

  // Forward every emitted line to the client on the topic (the topic is not copied).
  void setBroker(MQTT* client, const char* topic) EXCLUDES(logMutex);

  // The clock whose wall time stamps the lines (the system's unless set; a
  // default Clock restores it). Any thread.
  void setClock(Clock source) { clock.store(source, std::memory_order_relaxed); }
  // Test hook: an observer that sees every emitted line under the log lock
  // (nullptr restores the default).
  void setLineObserver(LineObserver observer, void* context) EXCLUDES(logMutex);

 private:
  void emit(unsigned int level, const char* line) REQUIRES(logMutex);
  void forwardLine(unsigned int level, const char* line) REQUIRES(logMutex);
  void detachBroker() EXCLUDES(logMutex);

  FILE* logFile GUARDED_BY(logMutex) = nullptr;
  std::atomic<unsigned int> logLevel{2};
  Mutex logMutex;
  MQTT* mqtt GUARDED_BY(logMutex) = nullptr;
  const char* mqttTopic GUARDED_BY(logMutex) = nullptr;

  std::atomic<bool> closeRequested{false};
  std::atomic<Clock> clock{Clock()};
  LineObserver observer GUARDED_BY(logMutex) = nullptr;
  void* observerContext GUARDED_BY(logMutex) = nullptr;
};

extern LOG_CLASS logInstance;
