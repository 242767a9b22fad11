// SPDX-License-Identifier: GPL-2.0-or-later
// The read-only web server of the status page, /status.json and /metrics, on
// CivetWeb (behind StatusRelay for an IPv6 address). It runs on CivetWeb's own
// threads at normal priority and only ever reads copies of the status board, so
// no voice thread waits for it. It serves
// GET and HEAD (405 for other methods, 404 for other paths), holds a bounded
// number of connections, drops a client that does not finish its request in
// time, and never configures TLS. It answers only to this machine's names
// (HostCheck): any other Host gets 421 and no content, and no answer ever
// carries a CORS header. Owned by main; start and the destructor run on the
// main thread. It borrows the board, which outlives it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>

#include "base/clock.h"
#include "telemetry/host_check.h"

struct mg_connection;
struct mg_context;
struct mg_request_info;
class StatusBoard;
class StatusRelay;

class StatusServer {
 public:
  static constexpr int kWorkers = 8;         // requests served at once
  static constexpr int kQueued = 8;          // accepted connections waiting for a worker
  static constexpr int kRequestTimeoutMs = 5000;

  // Refused names are logged at most once in this long, with their count.
  static constexpr int64_t kRefusalNoteMs = 60000;

  explicit StatusServer(const StatusBoard& board, Clock clock = Clock());
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Listens on address:port (a numeric address of either family; :: takes both);
  // false, with one error line logged, when it cannot. hosts lists names the
  // page answers to besides the machine's own (HostCheck::parseList; a bad list
  // is logged and unused).
  bool start(const char* address, uint32_t port, const char* hosts = nullptr);
  bool running() const { return context != nullptr; }
  // The page's address for a link from elsewhere (the machine's name when it
  // listens on every interface); empty when the server does not run.
  const std::string& pageUrl() const { return url; }

 private:
  static int serve(mg_connection* conn, void* server);
  // 0 when the request names this machine, else the status it gets: 400
  // without the one Host header HTTP/1.1 needs, 421 for another name.
  int refusal(const mg_request_info* request);

  const StatusBoard& board;
  mg_context* context = nullptr;
  HostCheck names;  // written by start before the server's threads exist
  std::string url;  // written by start
  const Clock clock;
  std::atomic<int64_t> lastNoteMs{INT64_MIN};  // when a refused name was last logged
  std::atomic<unsigned long> refusedSinceNote{0};
  std::unique_ptr<StatusRelay> relay;  // only for an IPv6 address
};
