// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/status_page.h"

#include <inttypes.h>
#include <stdio.h>
#include <time.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "base/host_address.h"

namespace {

std::string isoTime(int64_t unixMs) {
  const time_t seconds = static_cast<time_t>(unixMs / 1000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string seconds(int64_t ms) {
  char text[32];
  snprintf(text, sizeof(text), "%" PRId64 ".%" PRId64 " s", ms / 1000, (ms % 1000) / 100);
  return text;
}

std::string uptime(int64_t totalSeconds) {
  if (totalSeconds < 0) totalSeconds = 0;
  char text[48];
  snprintf(text, sizeof(text), "%" PRId64 " d %02d:%02d:%02d", totalSeconds / 86400,
           static_cast<int>(totalSeconds / 3600 % 24), static_cast<int>(totalSeconds / 60 % 60),
           static_cast<int>(totalSeconds % 60));
  return text;
}

// A Prometheus label value: backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string target(const StatusCall& c) {
  return (c.privateCall ? "private " : "TG ") + std::to_string(c.destination);
}

// Tenths are all a reader needs of a share or of milliseconds.
double tenths(double value) { return std::round(value * 10) / 10; }

std::string decimal(double value, const char* unit) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f %s", value, unit);
  return text;
}

// The quality cells, known at a call's end; a local call has no sequence numbers to lose.
std::string lossCell(const StatusCall& c) {
  return c.onAir || c.way == StatusWay::ToNetwork ? "-" : decimal(c.quality.lossPercent(), "%");
}
std::string jitterCell(const StatusCall& c) { return c.onAir ? "-" : decimal(c.quality.jitterMs, "ms"); }

// The page's fixed parts: style and the script that redraws from /status.json.
// The script builds every cell with textContent, so nothing it shows is markup.
const char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="description" content="Live status of a ZELK DMR voice bridge: link, talk group, calls heard, broker.">
)";

const char kStyle[] = R"(<style>
body{font-family:sans-serif;margin:0.5em;color:#111;background:#fafafa}
h1{font-size:1.3em;margin:0.2em 0}h2{font-size:1.1em;margin:0.8em 0 0.3em}
dl{display:grid;grid-template-columns:max-content auto;gap:0.1em 0.8em;margin:0}
dt{font-weight:bold}dd{margin:0}
.wide{overflow-x:auto}table{border-collapse:collapse;font-size:0.9em;width:100%}
th,td{border-bottom:1px solid #ccc;padding:0.2em 0.4em;text-align:left;white-space:nowrap}
tr.onair{background:#fde2c8;font-weight:bold}
.up{color:#070}.down{color:#a00}small{color:#555}
</style></head><body>
)";

const char kScript[] = R"(<script>
(function(){
function put(id,text){var e=document.getElementById(id);if(e)e.textContent=text;}
function secs(ms){return Math.floor(ms/1000)+'.'+Math.floor(ms%1000/100)+' s';}
function utc(iso){return iso?iso.replace('T',' ').replace('Z',''):'';}
function up(s){var d=Math.floor(s/86400),h=Math.floor(s/3600)%24,m=Math.floor(s/60)%60,x=s%60;
function two(n){return(n<10?'0':'')+n;}return d+' d '+two(h)+':'+two(m)+':'+two(x);}
function draw(j){
var l=j.link;put('link-state',l.state);
document.getElementById('link-state').className=l.state==='logged in'?'up':'down';
put('link-server',(l.host.indexOf(':')<0?l.host:'['+l.host+']')+':'+l.port);
put('link-since',l.logged_in_since?utc(l.logged_in_since)+' UTC':'-');
put('link-tg',j.talk_group?String(j.talk_group):'-');put('link-attempt',String(l.attempt));
put('broker',j.broker.state);put('broker-dropped',String(j.broker.dropped_lines));
put('version',j.version);put('uptime',up(j.uptime_seconds));
var body=document.getElementById('heard');while(body.firstChild)body.removeChild(body.firstChild);
j.last_heard.forEach(function(c){var tr=document.createElement('tr');if(c.on_air)tr.className='onair';
[utc(c.start),c.direction,String(c.source),c.callsign,c.name,c.alias,
(c.private?'private ':'TG ')+c.destination,(c.on_air?'on air ':'')+secs(c.duration_ms),
c.on_air||c.direction==='to the network'?'-':c.loss_percent.toFixed(1)+' %',
c.on_air?'-':c.jitter_ms.toFixed(1)+' ms'].forEach(function(t){
var td=document.createElement('td');td.textContent=t;tr.appendChild(td);});body.appendChild(tr);});
if(!j.last_heard.length){var tr=document.createElement('tr'),td=document.createElement('td');td.colSpan=10;
td.textContent='No calls yet';tr.appendChild(td);body.appendChild(tr);}
put('updated','updated '+utc(j.now)+' UTC');}
function poll(){var r=new XMLHttpRequest();r.open('GET','/status.json');r.timeout=900;
r.onload=function(){if(r.status===200){try{draw(JSON.parse(r.responseText));}catch(e){}}};r.send();}
setInterval(poll,1000);
})();
</script>
)";

}  // namespace

std::string StatusPage::escapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string StatusPage::utcTime(int64_t unixMs) {
  std::string t = isoTime(unixMs);
  t[10] = ' ';
  t.pop_back();
  return t;
}

std::string StatusPage::html(const StatusSnapshot& s) {
  const auto e = [](const std::string& text) { return escapeHtml(text); };
  // A named instance says which one it is, so that a fleet's tabs tell apart.
  const std::string title = s.name.empty() ? "ZELK status" : "ZELK status: " + e(s.name);
  std::string out = kHead;
  out += "<title>" + title + "</title>\n";
  out += kStyle;
  out += "<h1>" + title + "</h1>\n";
  out += "<h2>Link</h2>\n<dl>\n";
  out += "<dt>State</dt><dd id=\"link-state\" class=\"" + std::string(s.link == StatusLink::LoggedIn ? "up" : "down") +
         "\">" + statusLinkName(s.link) + "</dd>\n";
  out += "<dt>Server</dt><dd id=\"link-server\">" + e(hostWithPort(s.host, s.port)) + "</dd>\n";
  out += "<dt>Logged in since</dt><dd id=\"link-since\">" +
         (s.loggedInUnix > 0 ? utcTime(s.loggedInUnix * 1000) + " UTC" : std::string("-")) + "</dd>\n";
  out += "<dt>Talk group</dt><dd id=\"link-tg\">" + (s.talkGroup != 0 ? std::to_string(s.talkGroup) : "-") +
         "</dd>\n";
  out += "<dt>Login attempt</dt><dd id=\"link-attempt\">" + std::to_string(s.attempt) + "</dd>\n</dl>\n";

  out += "<h2>Last heard</h2>\n<div class=\"wide\"><table>\n<thead><tr><th>Start (UTC)</th><th>Direction</th>"
         "<th>Caller ID</th><th>Callsign</th><th>Name</th><th>Talker alias</th><th>Target</th><th>Duration</th>"
         "<th>Loss</th><th>Jitter</th></tr></thead>\n<tbody id=\"heard\">\n";
  for (const StatusCall& c : s.lastHeard) {
    out += c.onAir ? "<tr class=\"onair\">" : "<tr>";
    out += "<td>" + utcTime(c.startUnixMs) + "</td><td>" + statusWayName(c.way) + "</td><td>" +
           std::to_string(c.source) + "</td><td>" + e(c.callsign) + "</td><td>" + e(c.name) + "</td><td>" +
           e(c.alias) + "</td><td>" + target(c) + "</td><td>" + (c.onAir ? "on air " : "") + seconds(c.durationMs) +
           "</td><td>" + lossCell(c) + "</td><td>" + jitterCell(c) + "</td></tr>\n";
  }
  if (s.lastHeard.empty()) out += "<tr><td colspan=\"10\">No calls yet</td></tr>\n";
  out += "</tbody></table></div>\n";

  out += "<h2>Broker</h2>\n<dl>\n<dt>State</dt><dd id=\"broker\">" + std::string(statusBrokerName(s.broker)) +
         "</dd>\n<dt>Dropped log lines</dt><dd id=\"broker-dropped\">" +
         std::to_string(s.counters.droppedLogLines) + "</dd>\n</dl>\n";
  out += "<h2>Daemon</h2>\n<dl>\n<dt>Version</dt><dd id=\"version\">" + e(s.version) +
         "</dd>\n<dt>Uptime</dt><dd id=\"uptime\">" + uptime(s.nowUnixMs / 1000 - s.startUnix) + "</dd>\n</dl>\n";
  out += "<p><small id=\"updated\">updated " + utcTime(s.nowUnixMs) + " UTC</small></p>\n";
  out += kScript;
  out += "</body></html>\n";
  return out;
}

std::string StatusPage::json(const StatusSnapshot& s) {
  using nlohmann::json;
  json link = {{"state", statusLinkName(s.link)},
               {"host", s.host},
               {"port", s.port},
               {"attempt", s.attempt},
               {"reason", s.reason},
               {"logged_in_since", s.loggedInUnix > 0 ? json(isoTime(s.loggedInUnix * 1000)) : json(nullptr)}};
  json heard = json::array();
  for (const StatusCall& c : s.lastHeard) {
    heard.push_back({{"start", isoTime(c.startUnixMs)},
                     {"direction", statusWayName(c.way)},
                     {"source", c.source},
                     {"callsign", c.callsign},
                     {"name", c.name},
                     {"alias", c.alias},
                     {"destination", c.destination},
                     {"private", c.privateCall},
                     {"duration_ms", c.durationMs},
                     {"frames", c.frames},
                     {"lost", c.quality.lost},
                     {"duplicates", c.quality.duplicates},
                     {"out_of_order", c.quality.outOfOrder},
                     {"late", c.quality.late},
                     {"filled", c.quality.filled},
                     {"gaps", c.quality.gaps},
                     {"jitter_ms", tenths(c.quality.jitterMs)},
                     {"loss_percent", tenths(c.quality.lossPercent())},
                     {"on_air", c.onAir}});
  }
  const StatusCounters& n = s.counters;
  json counters = {{"frames_from_network", n.framesFromNetwork},
                   {"frames_to_network", n.framesToNetwork},
                   {"calls_from_network", n.callsFromNetwork},
                   {"calls_to_network", n.callsToNetwork},
                   {"logins_succeeded", n.count(StatusCounter::LoginSucceeded)},
                   {"logins_failed", n.count(StatusCounter::LoginFailed)},
                   {"server_lost", n.count(StatusCounter::ServerLost)},
                   {"reconnects", n.count(StatusCounter::Reconnect)},
                   {"dropped_strangers", n.count(StatusCounter::DroppedStranger)},
                   {"dropped_malformed", n.count(StatusCounter::DroppedMalformed)}};
  json root = {{"version", s.version},
               {"started", isoTime(s.startUnix * 1000)},
               {"now", isoTime(s.nowUnixMs)},
               {"uptime_seconds", s.nowUnixMs / 1000 - s.startUnix},
               {"link", link},
               {"talk_group", s.talkGroup},
               {"broker", {{"state", statusBrokerName(s.broker)}, {"dropped_lines", n.droppedLogLines}}},
               {"last_heard", heard},
               {"counters", counters}};
  // Invalid UTF-8 becomes U+FFFD instead of an exception.
  return root.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string StatusPage::metrics(const StatusSnapshot& s) {
  std::string out;
  char line[160];
  const auto family = [&out](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  const auto sample = [&out, &line](const char* name, const char* labels, uint64_t value) {
    snprintf(line, sizeof(line), "%s%s %" PRIu64 "\n", name, labels, value);
    out += line;
  };
  if (!s.name.empty()) {
    family("zelk_info", "gauge", "The instance's name and the daemon's version; always 1.");
    out += "zelk_info{instance=\"" + labelValue(s.name) + "\",version=\"" + labelValue(s.version) + "\"} 1\n";
  }
  const StatusCounters& n = s.counters;
  family("zelk_voice_frames_total", "counter", "Voice frames carried, by direction.");
  sample("zelk_voice_frames_total", "{direction=\"from_network\"}", n.framesFromNetwork);
  sample("zelk_voice_frames_total", "{direction=\"to_network\"}", n.framesToNetwork);
  family("zelk_calls_total", "counter", "Calls begun, by direction.");
  sample("zelk_calls_total", "{direction=\"from_network\"}", n.callsFromNetwork);
  sample("zelk_calls_total", "{direction=\"to_network\"}", n.callsToNetwork);
  family("zelk_logins_succeeded_total", "counter", "Logins to the server that succeeded.");
  sample("zelk_logins_succeeded_total", "", n.count(StatusCounter::LoginSucceeded));
  family("zelk_logins_failed_total", "counter", "Logins to the server that failed.");
  sample("zelk_logins_failed_total", "", n.count(StatusCounter::LoginFailed));
  family("zelk_server_lost_total", "counter", "Times the server went quiet and the link was taken as lost.");
  sample("zelk_server_lost_total", "", n.count(StatusCounter::ServerLost));
  family("zelk_reconnects_total", "counter", "Reconnects ordered by the partner.");
  sample("zelk_reconnects_total", "", n.count(StatusCounter::Reconnect));
  family("zelk_link_logged_in", "gauge", "1 while logged in to the server, else 0.");
  sample("zelk_link_logged_in", "", s.link == StatusLink::LoggedIn ? 1 : 0);
  family("zelk_talk_group", "gauge", "The subscribed talk group, 0 before the first subscription.");
  sample("zelk_talk_group", "", s.talkGroup);
  family("zelk_broker_state", "gauge", "The MQTT broker connection: 1 for the current state.");
  for (StatusBroker b : {StatusBroker::Off, StatusBroker::Connected, StatusBroker::Reconnecting}) {
    snprintf(line, sizeof(line), "zelk_broker_state{state=\"%s\"} %d\n", statusBrokerName(b), s.broker == b ? 1 : 0);
    out += line;
  }
  family("zelk_log_lines_dropped_total", "counter", "Log lines the MQTT broker link dropped.");
  sample("zelk_log_lines_dropped_total", "", n.droppedLogLines);
  family("zelk_datagrams_dropped_total", "counter", "Datagrams dropped: from strangers, or malformed.");
  sample("zelk_datagrams_dropped_total", "{reason=\"stranger\"}", n.count(StatusCounter::DroppedStranger));
  sample("zelk_datagrams_dropped_total", "{reason=\"malformed\"}", n.count(StatusCounter::DroppedMalformed));
  const StatusNetworkQuality& q = n.network;
  family("zelk_network_frames_lost_total", "counter",
         "Voice bursts of ended network calls that never came, by their sequence numbers.");
  sample("zelk_network_frames_lost_total", "", q.lost);
  family("zelk_network_frames_duplicate_total", "counter", "Voice bursts of ended network calls that came again.");
  sample("zelk_network_frames_duplicate_total", "", q.duplicates);
  family("zelk_network_frames_out_of_order_total", "counter",
         "Voice bursts of ended network calls that came after a later one.");
  sample("zelk_network_frames_out_of_order_total", "", q.outOfOrder);
  family("zelk_network_frames_late_total", "counter",
         "Voice bursts of ended network calls that came after their turn to play.");
  sample("zelk_network_frames_late_total", "", q.late);
  family("zelk_network_frames_filled_total", "counter",
         "Turns of ended network calls played as silence for a missing burst.");
  sample("zelk_network_frames_filled_total", "", q.filled);
  family("zelk_network_call_jitter_ms", "histogram",
         "Interarrival jitter of each ended network call of two bursts or more, in milliseconds.");
  uint64_t calls = 0;
  for (size_t b = 0; b <= kStatusJitterBuckets; ++b) {
    calls += q.jitterCalls[b];
    if (b < kStatusJitterBuckets) {
      snprintf(line, sizeof(line), "zelk_network_call_jitter_ms_bucket{le=\"%g\"} %" PRIu64 "\n",
               kStatusJitterBucketsMs[b], calls);
    } else {
      snprintf(line, sizeof(line), "zelk_network_call_jitter_ms_bucket{le=\"+Inf\"} %" PRIu64 "\n", calls);
    }
    out += line;
  }
  snprintf(line, sizeof(line), "zelk_network_call_jitter_ms_sum %.1f\n", q.jitterSumMs);
  out += line;
  sample("zelk_network_call_jitter_ms_count", "", calls);
  family("zelk_uptime_seconds", "gauge", "Seconds since the daemon started.");
  const int64_t up = s.nowUnixMs / 1000 - s.startUnix;
  sample("zelk_uptime_seconds", "", static_cast<uint64_t>(up > 0 ? up : 0));
  return out;
}
