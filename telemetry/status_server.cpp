// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_server.h"

#include <civetweb.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/status_page.h"

namespace {

// No answer is ever longer: 20 calls of short fields make a few tens of kilobytes.
constexpr size_t kMaxResponse = 256 * 1024;

void respond(mg_connection* conn, int code, const char* reason, const char* type, const std::string& body,
             bool withBody, const char* extraHeaders = "") {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
            "connect-src 'self'\r\n%sConnection: close\r\n\r\n",
            code, reason, type, body.size(), extraHeaders);
  if (withBody && !body.empty()) mg_write(conn, body.data(), body.size());
}

int serve(mg_connection* conn, void* data) {
  const StatusBoard& board = *static_cast<const StatusBoard*>(data);
  const mg_request_info* request = mg_get_request_info(conn);
  const char* method = request->request_method != nullptr ? request->request_method : "";
  const char* path = request->local_uri != nullptr ? request->local_uri : "";
  const bool head = strcmp(method, "HEAD") == 0;
  if (!head && strcmp(method, "GET") != 0) {
    respond(conn, 405, "Method Not Allowed", "text/plain; charset=utf-8", "only GET and HEAD\n", true,
            "Allow: GET, HEAD\r\n");
    return 405;
  }
  std::string body;
  const char* type = nullptr;
  // The copy is taken first; the slow part, writing to the client, holds nothing.
  if (strcmp(path, "/") == 0) {
    body = StatusPage::html(board.snapshot());
    type = "text/html; charset=utf-8";
  } else if (strcmp(path, "/status.json") == 0) {
    body = StatusPage::json(board.snapshot());
    type = "application/json";
  } else if (strcmp(path, "/metrics") == 0) {
    body = StatusPage::metrics(board.snapshot());
    type = "text/plain; version=0.0.4; charset=utf-8";
  } else {
    respond(conn, 404, "Not Found", "text/plain; charset=utf-8", "not found\n", !head);
    return 404;
  }
  if (body.size() > kMaxResponse) {
    respond(conn, 500, "Internal Server Error", "text/plain; charset=utf-8", "response too long\n", !head);
    return 500;
  }
  respond(conn, 200, "OK", type, body, !head);
  return 200;
}

// CivetWeb's own messages (a client gone away, a time-out) are not the
// operator's business beyond the debug level.
int logMessage(const mg_connection*, const char* message) {
  logInstance.log(LOG_DEBUG, "Status page: %s\n", message);
  return 1;
}

}  // namespace

bool StatusServer::start(const char* address, uint32_t port) {
  if (context != nullptr) return true;
  // No feature beyond plain HTTP: in particular no TLS library is ever loaded.
  mg_init_library(0);
  const std::string listening = std::string(address != nullptr ? address : "") + ":" + std::to_string(port);
  const std::string workers = std::to_string(kWorkers), queued = std::to_string(kQueued),
                    timeout = std::to_string(kRequestTimeoutMs);
  const char* options[] = {"listening_ports", listening.c_str(),
                           "num_threads", workers.c_str(),
                           "connection_queue", queued.c_str(),
                           "listen_backlog", queued.c_str(),
                           "request_timeout_ms", timeout.c_str(),
                           "keep_alive_timeout_ms", "500",
                           "enable_keep_alive", "no",
                           "linger_timeout_ms", "0",
                           "max_request_size", "4096",
                           "enable_directory_listing", "no",
                           nullptr};
  mg_callbacks callbacks;
  memset(&callbacks, 0, sizeof(callbacks));
  callbacks.log_message = logMessage;
  mg_init_data init;
  memset(&init, 0, sizeof(init));
  init.callbacks = &callbacks;
  init.configuration_options = options;
  char text[256] = "";
  unsigned code = 0;
  mg_error_data error;
  memset(&error, 0, sizeof(error));
  error.code = &code;
  error.text = text;
  error.text_buffer_size = sizeof(text);
  context = mg_start2(&init, &error);
  if (context == nullptr) {
    logInstance.log(LOG_ERROR, "Status page: cannot listen on %s: %s\n", listening.c_str(),
                    text[0] != '\0' ? text : "unknown error");
    mg_exit_library();
    return false;
  }
  mg_set_request_handler(context, "/", serve, const_cast<StatusBoard*>(&board));
  logInstance.log(LOG_INFO, "Status page at http://%s/\n", listening.c_str());
  return true;
}

StatusServer::~StatusServer() {
  if (context == nullptr) return;
  mg_stop(context);
  mg_exit_library();
}
