// SPDX-License-Identifier: GPL-2.0-or-later
// Bounded FIFO of commands for the MQTT connection thread. Any thread may push and
// a push never waits: when the bound of publications is reached, the oldest
// publication is dropped and counted. Subscriptions and pings are never dropped;
// there are at most a few of them. The queue owns what it holds; pop hands the
// entry over to the caller. stop is the explicit end: pop hands out what was
// queued before it, then null at once; pushes after it are refused until reopen.
#pragma once

#include <stddef.h>

#include <deque>
#include <memory>

#include "base/mutex.h"
#include "telemetry/publish.h"

class PublishQueue {
 public:
  explicit PublishQueue(size_t limit) : bound(limit) {}
  PublishQueue(const PublishQueue&) = delete;
  PublishQueue& operator=(const PublishQueue&) = delete;

  // A null entry, or any entry while stopped, is destroyed at once.
  void push(std::unique_ptr<Publish> entry);
  // Waits while the queue is empty and not stopped; null once stopped and empty.
  std::unique_ptr<Publish> pop();
  // Wakes every waiting pop; see above.
  void stop();
  // Takes entries again after a stop.
  void reopen();
  // The count of publications dropped since the last call, taken only once the
  // queue has run empty (the backlog is out); 0 otherwise.
  unsigned long takeDroppedWhenIdle();
  // Destroys every entry; the drop count is kept.
  void clear();
  size_t size() const;

 private:
  static bool isPublication(const Publish& entry) {
    return entry.getTopic() != nullptr && entry.getMessage() != nullptr;
  }

  const size_t bound;
  mutable Mutex mutex;
  CondVar ready;
  std::deque<std::unique_ptr<Publish>> entries GUARDED_BY(mutex);
  size_t publications GUARDED_BY(mutex) = 0;
  unsigned long dropped GUARDED_BY(mutex) = 0;
  bool stopped GUARDED_BY(mutex) = false;
};
