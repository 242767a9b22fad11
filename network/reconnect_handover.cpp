// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/reconnect_handover.h"

#include <chrono>

int ReconnectHandOver::request(const char* host, const char* port, const char* password, unsigned int talkGroup) {
  MutexLock lock(mutex);
  state.request.host = host;
  state.request.port = port;
  state.request.password = password;
  state.request.talkGroup = talkGroup;
  state.pending = true;
  state.done = false;
  wake.poke();
  while (!state.done) {
    if (done) return -1;
    answered.waitFor(mutex, std::chrono::milliseconds(200));
  }
  return state.result;
}

bool ReconnectHandOver::serve(const Login& login, int* result) {
  MutexLock lock(mutex);
  if (!state.pending) return false;
  Request request = state.request;
  state.pending = false;
  lock.unlock();

  int outcome = login(request);
  if (result != nullptr) *result = outcome;

  lock.lock();
  state.result = outcome;
  state.done = true;
  lock.unlock();
  answered.notifyAll();
  return true;
}
