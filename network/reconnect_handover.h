// SPDX-License-Identifier: GPL-2.0-or-later
// A reconnect ordered by the partner, handed from the dispatcher to the network
// thread, the only thread that waits on or replaces the Rewind client's socket.
// The dispatcher posts the request, which wakes the network thread, and waits for
// the result; the network thread serves the request with its login and posts the
// result. One request at a time; request is the dispatcher's, wakeFd, drainWake
// and serve the network thread's.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "base/mutex.h"
#include "base/wake_pipe.h"

class ReconnectHandOver {
 public:
  struct Request {
    std::string host, port, password;
    unsigned int talkGroup = 0;
  };
  using Login = std::function<int(const Request& request)>;

  // A request waits no longer than until done is set.
  explicit ReconnectHandOver(const std::atomic<bool>& done) : done(done) {}
  ReconnectHandOver(const ReconnectHandOver&) = delete;
  ReconnectHandOver& operator=(const ReconnectHandOver&) = delete;

  // The errno of the wake pipe's failed open, else 0.
  int openError() const { return wake.openError(); }

  // Posts the request and waits for the login's result; -1 when the daemon ends first.
  int request(const char* host, const char* port, const char* password, unsigned int talkGroup) EXCLUDES(mutex);

  // Readable once a request was posted.
  int wakeFd() const { return wake.readFd(); }
  // True when the wake pipe held a wake-up (which it empties).
  bool drainWake() { return wake.drain(); }
  // Runs the login for the pending request and posts its result: false when none
  // was pending, else true with *result the login's result.
  bool serve(const Login& login, int* result = nullptr) EXCLUDES(mutex);

 private:
  struct Pending {
    Request request;
    bool pending = false;
    bool done = false;
    int result = -1;
  };

  const std::atomic<bool>& done;
  WakePipe wake;
  Mutex mutex;
  CondVar answered;
  Pending state GUARDED_BY(mutex);
};
