// SPDX-License-Identifier: GPL-2.0-or-later
// zelk-partner: the local partner as a command-line tool. It listens for the
// daemon's TLV messages and prints them decoded, sends calls and remote commands.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/host_address.h"
#include "local/tlv_class.h"
#include "tools/partner/partner_link.h"

namespace {

std::atomic<bool> stopRequested{false};

void usage() {
  fprintf(stderr,
          "usage: zelk-partner [--listen PORT] [--daemon HOST:PORT] [--pace MS] [--metadata TEXT]\n"
          "                    [--call SRC:DST:COUNT] [--command TEXT] [--wait SECONDS] [--verbose]\n"
          "  --listen PORT         loopback port for the daemon's messages (default 36000)\n"
          "  --daemon HOST:PORT    the daemon's partner port (default 127.0.0.1:36003; [::1]:36003)\n"
          "  --pace MS             pause before each voice message of a call (default 60, 0 = at once)\n"
          "  --metadata TEXT       metadata of the next call's begin (JSON object or plain text)\n"
          "  --call SRC:DST:COUNT  send a call: begin, COUNT voice messages, end\n"
          "  --command TEXT        send a remote command, e.g. txTg=91 or setTA=N0CALL\n"
          "  --wait SECONDS        listen this long after the last action, then exit\n"
          "                        (without actions and without --wait: until SIGINT/SIGTERM)\n"
          "  --verbose             print every voice message, not only the count\n");
}

struct Action {
  enum Kind { Call, Command } kind = Call;
  uint32_t source = 0, destination = 0;
  int count = 0;
  std::string text;  // metadata of a call, or the command
};

}  // namespace

int main(int argc, char** argv) {
  int listenPort = 36000;
  std::string daemonHost = "127.0.0.1";
  int daemonPort = 36003;
  int paceMs = 60;
  double waitSeconds = -1;
  bool verbose = false;
  std::string metadata;
  std::vector<Action> actions;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--verbose") {
      verbose = true;
    } else if (!hasValue) {
      usage();
      return 2;
    } else if (arg == "--listen") {
      listenPort = atoi(argv[++i]);
    } else if (arg == "--daemon") {
      std::string value = argv[++i];
      size_t colon = value.rfind(':');
      if (colon == std::string::npos) {
        usage();
        return 2;
      }
      daemonHost = value.substr(0, colon);
      daemonPort = atoi(value.c_str() + colon + 1);
      // An IPv6 address comes in brackets: [::1]:36003.
      if (daemonHost.size() >= 2 && daemonHost.front() == '[' && daemonHost.back() == ']') {
        daemonHost = daemonHost.substr(1, daemonHost.size() - 2);
      }
    } else if (arg == "--pace") {
      paceMs = atoi(argv[++i]);
    } else if (arg == "--metadata") {
      metadata = argv[++i];
    } else if (arg == "--call") {
      Action action;
      action.kind = Action::Call;
      unsigned src = 0, dst = 0;
      int count = 0;
      if (sscanf(argv[++i], "%u:%u:%d", &src, &dst, &count) != 3 || count < 0) {
        usage();
        return 2;
      }
      action.source = src;
      action.destination = dst;
      action.count = count;
      action.text = metadata;
      actions.push_back(action);
    } else if (arg == "--command") {
      Action action;
      action.kind = Action::Command;
      action.text = argv[++i];
      actions.push_back(action);
    } else if (arg == "--wait") {
      waitSeconds = atof(argv[++i]);
    } else {
      usage();
      return 2;
    }
  }

  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGINT, [](int) { stopRequested = true; });
  signal(SIGTERM, [](int) { stopRequested = true; });

  std::atomic<int> voiceCount{0};
  PartnerLink link;
  link.onReceive([&](const Datagram& d) {
    if (!d.empty() && d[0] == TAG_AMBE_72 && !verbose) {
      ++voiceCount;
      return;
    }
    if (!d.empty() && d[0] == TAG_END_TX) {
      printf("partner: RX END after %d voice messages\n", voiceCount.exchange(0));
      return;
    }
    printf("partner: RX %s\n", PartnerLink::describe(d).c_str());
  });
  if (!link.open(listenPort, daemonHost, daemonPort)) {
    const char* loopback = daemonHost.find(':') != std::string::npos ? "::1" : "127.0.0.1";
    fprintf(stderr, "zelk-partner: cannot listen on %s or reach %s\n",
            hostWithPort(loopback, std::to_string(listenPort)).c_str(),
            hostWithPort(daemonHost, std::to_string(daemonPort)).c_str());
    return 1;
  }
  printf("partner: listening on %s, daemon at %s\n", link.listening().c_str(),
         hostWithPort(daemonHost, std::to_string(daemonPort)).c_str());

  for (const Action& action : actions) {
    if (stopRequested) break;
    if (action.kind == Action::Command) {
      printf("partner: TX command %s\n", action.text.c_str());
      link.send(PartnerLink::remoteCommand(action.text));
    } else {
      printf("partner: TX call src=%u dst=%u with %d voice messages%s%s\n", action.source, action.destination,
             action.count, action.text.empty() ? "" : ", metadata ", action.text.c_str());
      link.sendCall(action.source, action.destination, action.count, paceMs, action.text);
      printf("partner: TX call ended\n");
    }
  }

  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>((waitSeconds < 0 ? 0 : waitSeconds) * 1000));
  bool forever = waitSeconds < 0 && actions.empty();
  while (!stopRequested && (forever || std::chrono::steady_clock::now() < deadline)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  link.close();
  return 0;
}
