// SPDX-License-Identifier: GPL-2.0-or-later
// What the status server sends, rendered from a copy of the status board: the
// page, /status.json and the Prometheus text of /metrics. Plain functions of
// their snapshot, safe from any thread. Every text from outside (callsigns,
// names, aliases, the server's host) is escaped for where it goes.
#pragma once

#include <string>

#include "telemetry/status_board.h"

class StatusPage {
 public:
  // The whole page, complete without JavaScript; its small script fetches
  // /status.json every second and redraws the same parts.
  static std::string html(const StatusSnapshot& s);
  static std::string json(const StatusSnapshot& s);
  static std::string metrics(const StatusSnapshot& s);

  // &, <, >, " and ' as character references.
  static std::string escapeHtml(const std::string& text);
  // "2026-12-09 01:02:03" (UTC) from milliseconds since the epoch.
  static std::string utcTime(int64_t unixMs);
};
