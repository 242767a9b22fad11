// SPDX-License-Identifier: GPL-2.0-or-later
// Blocking FIFO between threads. Any thread may push; pop waits until an element
// is present. The queue has no bound and never deletes the elements it holds: a
// popped pointer belongs to the caller, and pointers still waiting when the queue
// is destroyed are not released.
#pragma once

#include <deque>
#include <utility>

#include "base/mutex.h"

template <typename T>
class Queue {
 public:
  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  void push(const T& element) {
    {
      MutexLock lock(mutex);
      fifo.push_back(element);
    }
    condition.notifyOne();
  }

  void push(T&& element) {
    {
      MutexLock lock(mutex);
      fifo.push_back(std::move(element));
    }
    condition.notifyOne();
  }

  // Takes the front element when there is one, without waiting.
  bool tryPop(T& element) {
    MutexLock lock(mutex);
    if (fifo.empty()) return false;
    element = std::move(fifo.front());
    fifo.pop_front();
    return true;
  }

  T pop() {
    MutexLock lock(mutex);
    condition.wait(mutex, [this]() REQUIRES(mutex) { return !fifo.empty(); });
    T element = std::move(fifo.front());
    fifo.pop_front();
    return element;
  }

 private:
  std::deque<T> fifo GUARDED_BY(mutex);
  Mutex mutex;
  CondVar condition;
};
