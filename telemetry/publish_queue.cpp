// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/publish_queue.h"

#include <utility>

void PublishQueue::push(std::unique_ptr<Publish> entry) {
  std::unique_ptr<Publish> oldest;  // destroyed after the lock is released
  {
    MutexLock lock(mutex);
    if (entry == nullptr || stopped) return;  // the entry goes after the lock
    if (isPublication(*entry)) {
      if (publications >= bound) {
        // The front is a publication but for the few commands that may lead it.
        for (auto at = entries.begin(); at != entries.end(); ++at) {
          if (*at != nullptr && isPublication(**at)) {
            oldest = std::move(*at);
            entries.erase(at);
            --publications;
            ++dropped;
            break;
          }
        }
      }
      ++publications;
    }
    entries.push_back(std::move(entry));
  }
  ready.notifyOne();
}

std::unique_ptr<Publish> PublishQueue::pop() {
  MutexLock lock(mutex);
  ready.wait(mutex, [this]() REQUIRES(mutex) { return !entries.empty() || stopped; });
  if (entries.empty()) return nullptr;
  std::unique_ptr<Publish> entry = std::move(entries.front());
  entries.pop_front();
  if (entry != nullptr && isPublication(*entry)) --publications;
  return entry;
}

void PublishQueue::stop() {
  {
    MutexLock lock(mutex);
    stopped = true;
  }
  ready.notifyAll();
}

void PublishQueue::reopen() {
  MutexLock lock(mutex);
  stopped = false;
}

unsigned long PublishQueue::takeDroppedWhenIdle() {
  MutexLock lock(mutex);
  if (!entries.empty()) return 0;
  unsigned long count = dropped;
  dropped = 0;
  return count;
}

void PublishQueue::clear() {
  std::deque<std::unique_ptr<Publish>> old;
  {
    MutexLock lock(mutex);
    old.swap(entries);
    publications = 0;
  }
}

size_t PublishQueue::size() const {
  MutexLock lock(mutex);
  return entries.size();
}
