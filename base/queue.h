// SPDX-License-Identifier: GPL-2.0-or-later
// Blocking FIFO between threads, of owned elements (std::unique_ptr). Any thread
// may push; pop waits until an element is present or the queue is stopped. The
// queue owns what it holds: pop hands the element over, and elements still
// waiting when the queue is destroyed are destroyed with it. There is no bound.
// stop is the explicit end: pop hands out what was pushed before it, then returns
// an empty element (a null pointer) at once, to every caller; pushes after it
// are refused and leave the element with the caller.
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

  // False when the queue is stopped: nothing was taken.
  bool push(const T& element) { return add(element); }
  bool push(T&& element) { return add(std::move(element)); }

  // Takes the front element when there is one, without waiting.
  bool tryPop(T& element) {
    MutexLock lock(mutex);
    if (fifo.empty()) return false;
    element = std::move(fifo.front());
    fifo.pop_front();
    return true;
  }

  // The front element; an empty one only once the queue is stopped and drained.
  T pop() {
    MutexLock lock(mutex);
    condition.wait(mutex, [this]() REQUIRES(mutex) { return !fifo.empty() || stopped; });
    if (fifo.empty()) return T();
    T element = std::move(fifo.front());
    fifo.pop_front();
    return element;
  }

  // Wakes every waiting pop; see above. Stopping twice changes nothing.
  void stop() {
    {
      MutexLock lock(mutex);
      stopped = true;
    }
    condition.notifyAll();
  }

 private:
  template <typename U>
  bool add(U&& element) {
    {
      MutexLock lock(mutex);
      if (stopped) return false;
      fifo.push_back(std::forward<U>(element));
    }
    condition.notifyOne();
    return true;
  }

  std::deque<T> fifo GUARDED_BY(mutex);
  bool stopped GUARDED_BY(mutex) = false;
  Mutex mutex;
  CondVar condition;
};
