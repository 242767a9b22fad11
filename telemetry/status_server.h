// SPDX-License-Identifier: GPL-2.0-or-later
// The read-only web server of the status page, /status.json and /metrics, on
// CivetWeb. It runs on CivetWeb's own threads at normal priority and only ever
// reads copies of the status board, so no voice thread waits for it. It serves
// GET and HEAD (405 for other methods, 404 for other paths), holds a bounded
// number of connections, drops a client that does not finish its request in
// time, and never configures TLS. Owned by main; start and the destructor run
// on the main thread. It borrows the board, which outlives it.
#pragma once

#include <stdint.h>

struct mg_context;
class StatusBoard;

class StatusServer {
 public:
  static constexpr int kWorkers = 8;         // requests served at once
  static constexpr int kQueued = 8;          // accepted connections waiting for a worker
  static constexpr int kRequestTimeoutMs = 5000;

  explicit StatusServer(const StatusBoard& board) : board(board) {}
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Listens on address:port (a numeric IPv4 address); false, with one error
  // line logged, when it cannot.
  bool start(const char* address, uint32_t port);
  bool running() const { return context != nullptr; }

 private:
  const StatusBoard& board;
  mg_context* context = nullptr;
};
