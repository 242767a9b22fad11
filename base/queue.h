// SPDX-License-Identifier: GPL-2.0-or-later
// Blocking FIFO between threads. Any thread may push; pop waits until an element
// is present. The queue has no bound and never deletes the elements it holds: a
// popped pointer belongs to the caller, and pointers still waiting when the queue
// is destroyed are not released.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

template <typename T>
class Queue {
 public:
  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  void push(const T& element) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      fifo.push_back(element);
    }
    condition.notify_one();
  }

  void push(T&& element) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      fifo.push_back(std::move(element));
    }
    condition.notify_one();
  }

  // Takes the front element when there is one, without waiting.
  bool tryPop(T& element) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fifo.empty()) return false;
    element = std::move(fifo.front());
    fifo.pop_front();
    return true;
  }

  T pop() {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return !fifo.empty(); });
    T element = std::move(fifo.front());
    fifo.pop_front();
    return element;
  }

 private:
  std::deque<T> fifo;
  std::mutex mutex;
  std::condition_variable condition;
};
