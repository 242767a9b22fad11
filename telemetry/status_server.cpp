// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_server.h"

#include <civetweb.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/host_address.h"
#include "telemetry/control_escape.h"
#include "telemetry/log_class.h"
#include "telemetry/status_board.h"
#include "telemetry/status_page.h"
#include "telemetry/status_relay.h"

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

std::string machineName() {
  char name[256] = "";
  if (gethostname(name, sizeof(name) - 1) != 0) return "";
  return name;
}

}  // namespace

int StatusServer::refusal(const mg_request_info* request) {
  const char* host = nullptr;
  int hosts = 0;
  for (int i = 0; i < request->num_headers; ++i) {
    if (strcasecmp(request->http_headers[i].name, "Host") != 0) continue;
    host = request->http_headers[i].value;
    ++hosts;
  }
  // No browser leaves the Host out, so a request without one names no foreign
  // site: HTTP/1.0 may, HTTP/1.1 must carry exactly one.
  const bool http10 = request->http_version != nullptr && strcmp(request->http_version, "1.0") == 0;
  if (hosts > 1 || (hosts == 0 && !http10)) return 400;
  if (hosts == 0 || names.allows(host)) return 0;

  const unsigned long refused = refusedSinceNote.fetch_add(1) + 1;
  const int64_t now = clock.monotonicMs();
  int64_t last = lastNoteMs.load();
  if (last != INT64_MIN && now - last < kRefusalNoteMs) return 421;
  if (!lastNoteMs.compare_exchange_strong(last, now)) return 421;  // another thread notes it
  refusedSinceNote.fetch_sub(refused);
  logInstance.log(LOG_WARNING, "Status page: refused %lu request%s for a name not this machine's, the last for \"%s\" "
                  "(StatusHosts adds names)\n", refused, refused == 1 ? "" : "s",
                  escapeControls(std::string(host).substr(0, 80).c_str()).c_str());
  return 421;
}

int StatusServer::serve(mg_connection* conn, void* server) {
  const StatusBoard& board = static_cast<StatusServer*>(server)->board;
  const mg_request_info* request = mg_get_request_info(conn);
  const char* method = request->request_method != nullptr ? request->request_method : "";
  const char* path = request->local_uri != nullptr ? request->local_uri : "";
  const bool head = strcmp(method, "HEAD") == 0;
  switch (static_cast<StatusServer*>(server)->refusal(request)) {
    case 400:
      respond(conn, 400, "Bad Request", "text/plain; charset=utf-8", "one Host header, please\n", !head);
      return 400;
    case 421:
      // Nothing for a foreign name: not the page, not even which paths exist.
      respond(conn, 421, "Misdirected Request", "text/plain; charset=utf-8", "", false);
      return 421;
    default:
      break;
  }
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

namespace {

// While start runs on its thread: CivetWeb's first message, which tells why a
// port cannot be bound.
thread_local std::string* startMessage = nullptr;

// CivetWeb's own messages (a client gone away, a time-out) are not the
// operator's business beyond the debug level.
int logMessage(const mg_connection*, const char* message) {
  if (startMessage != nullptr && startMessage->empty()) *startMessage = message;
  logInstance.log(LOG_DEBUG, "Status page: %s\n", message);
  return 1;
}

// The reason in CivetWeb's "cannot bind to ADDRESS:PORT: 98 (Address already in
// use)", else its whole text.
std::string bindReason(const std::string& message, const char* fallback) {
  if (message.rfind("cannot bind to ", 0) != 0) return fallback;
  size_t colon = message.rfind(": ");
  return colon != std::string::npos ? message.substr(colon + 2) : message;
}

// A numeric IPv6 address (with its scope, if any), which CivetWeb cannot take.
bool ipv6Address(const char* text, HostAddress* address) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* found = nullptr;
  if (text == nullptr || getaddrinfo(text, nullptr, &hints, &found) != 0) return false;
  *address = HostAddress::fromSocket(found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  return address->family() == AF_INET6;
}

}  // namespace

StatusServer::StatusServer(const StatusBoard& board, Clock clock) : board(board), clock(clock) {}

bool StatusServer::start(const char* address, uint32_t port, const char* hosts) {
  if (context != nullptr) return true;
  std::vector<std::string> listed;
  std::string badList;
  if (!HostCheck::parseList(hosts, &listed, &badList)) {
    logInstance.log(LOG_WARNING, "Status page: StatusHosts = %s: %s; only the machine's own names are answered\n",
                    escapeControls(hosts).c_str(), badList.c_str());
    listed.clear();
  }
  names = HostCheck(address != nullptr ? address : "", machineName(), listed);
  // No feature beyond plain HTTP: in particular no TLS library is ever loaded.
  mg_init_library(0);
  const std::string listening = hostWithPort(address != nullptr ? address : "", std::to_string(port));
  // An IPv6 address is served through the relay, CivetWeb on IPv4 loopback behind it.
  HostAddress ipv6;
  const bool relayed = ipv6Address(address, &ipv6);
  const std::string civetListening = relayed ? "127.0.0.1:0" : listening;
  const std::string workers = std::to_string(kWorkers), queued = std::to_string(kQueued),
                    timeout = std::to_string(kRequestTimeoutMs);
  const char* options[] = {"listening_ports", civetListening.c_str(),
                           "num_threads", workers.c_str(),
                           "connection_queue", queued.c_str(),
                           "listen_backlog", queued.c_str(),
                           "request_timeout_ms", timeout.c_str(),
                           "keep_alive_timeout_ms", "500",
                           "enable_keep_alive", "no",
                           "linger_timeout_ms", "0",
                           "max_request_size", "4096",
                           "enable_directory_listing", "no",
                           // CivetWeb would answer a CORS preflight for any origin.
                           "access_control_allow_origin", "",
                           "access_control_allow_methods", "",
                           "access_control_allow_headers", "",
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
  std::string why;
  if (relayed) {
    relay.reset(new StatusRelay());
    ipv6.setPort(static_cast<uint16_t>(port));
    if (!relay->listen(ipv6, &why)) relay.reset();
  }
  if (!relayed || relay != nullptr) {
    std::string firstMessage;
    startMessage = &firstMessage;
    context = mg_start2(&init, &error);
    startMessage = nullptr;
    why = bindReason(firstMessage, text[0] != '\0' ? text : "unknown error");
  }
  if (context != nullptr && relayed) {
    struct mg_server_port ports[1];
    const bool served = mg_get_server_ports(context, 1, ports) == 1;
    if (!served || !relay->start(static_cast<uint16_t>(ports[0].port), &why)) {
      relay.reset();
      mg_stop(context);
      context = nullptr;
    }
  }
  if (context == nullptr) {
    logInstance.log(LOG_ERROR, "Status page: cannot listen on %s (StatusPort): %s\n", listening.c_str(), why.c_str());
    mg_exit_library();
    return false;
  }
  mg_set_request_handler(context, "/", serve, this);
  const std::string shown = address == nullptr || strcmp(address, "0.0.0.0") == 0 || strcmp(address, "::") == 0
                                ? machineName()
                                : strchr(address, ':') != nullptr ? "[" + std::string(address) + "]" : address;
  url = "http://" + shown + ":" + std::to_string(port) + "/";
  logInstance.log(LOG_INFO, "Status page at http://%s/\n", listening.c_str());
  return true;
}

StatusServer::~StatusServer() {
  if (context == nullptr) return;
  relay.reset();  // no client reaches the server any more
  mg_stop(context);
  mg_exit_library();
}
