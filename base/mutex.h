// SPDX-License-Identifier: GPL-2.0-or-later
// Locks that clang's thread-safety analysis can follow. A field marked
// GUARDED_BY(m) may only be touched with m held, a function marked REQUIRES(m)
// only be called with m held, one marked EXCLUDES(m) only without it; clang++
// -Wthread-safety checks every use at compile time, other compilers see no
// attributes at all. Mutex is a plain non-recursive std::mutex; MutexLock holds
// one for a scope; CondVar waits on a Mutex the caller holds. None of them is
// copyable, and all are safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
// For the few functions whose locking the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { native.lock(); }
  void unlock() RELEASE() { native.unlock(); }
  bool tryLock() TRY_ACQUIRE(true) { return native.try_lock(); }

 private:
  friend class CondVar;
  std::mutex native;
};

// Holds the mutex from construction to destruction; unlock and lock in between
// release and take it again within the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : held(mutex) { held.lock(); }
  // Takes over a mutex the caller has locked already (after tryLock, say).
  MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : held(mutex) {}
  ~MutexLock() RELEASE() {
    if (locked) held.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    held.unlock();
    locked = false;
  }
  void lock() ACQUIRE() {
    held.lock();
    locked = true;
  }

 private:
  Mutex& held;
  bool locked = true;
};

// A condition variable for a Mutex. Every wait releases the mutex while it
// sleeps and holds it again when it returns; a wait may also end spuriously, so
// callers test their condition in a loop or pass it as the predicate. A
// predicate runs with the mutex held; one that reads guarded fields says so,
// as in [this]() REQUIRES(mutex) { return !entries.empty(); }. The waits that
// call a predicate are not analysed themselves: the analysis cannot tell that
// the predicate's mutex is the one they hold.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void notifyOne() { condition.notify_one(); }
  void notifyAll() { condition.notify_all(); }

  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.native, std::adopt_lock);
    condition.wait(lock);
    lock.release();
  }
  template <typename Predicate>
  void wait(Mutex& mutex, Predicate ready) REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) wait(mutex);
  }

  // False when the deadline passed.
  template <typename Clock, typename Duration>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.native, std::adopt_lock);
    const std::cv_status status = condition.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }
  // The predicate's value at the end: false when the deadline passed first.
  template <typename Clock, typename Duration, typename Predicate>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline, Predicate ready)
      REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      if (!waitUntil(mutex, deadline)) return ready();
    }
    return true;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout, Predicate ready) REQUIRES(mutex)
      NO_THREAD_SAFETY_ANALYSIS {
    return waitUntil(mutex, std::chrono::steady_clock::now() + timeout, ready);
  }
  // False when the time ran out.
  template <typename Rep, typename Period>
  bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    return waitUntil(mutex, std::chrono::steady_clock::now() + timeout);
  }

 private:
  std::condition_variable condition;
};
