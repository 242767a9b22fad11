// SPDX-License-Identifier: GPL-2.0-or-later
// zelk-road: a bad road between the daemon and a Rewind server on loopback, for
// tests and benchmarks. See docs/man/zelk-road.1.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unique_fd.h"
#include "tools/road/road_relay.h"

namespace {

struct Options {
  RoadSettings road;
  bool listenGiven = false;
  double pauseOnSignal = 0;
  std::string statsPath;
};

void usage(FILE* out) {
  fprintf(out,
          "Usage: zelk-road --listen ADDR:PORT --server ADDR:PORT [options]\n"
          "A UDP relay on loopback that loses, delays, doubles and reorders datagrams.\n"
          "  --listen ADDR:PORT      where the daemon sends (port 0 picks a free one)\n"
          "  --server ADDR:PORT      where the relay sends on to; [::1]:PORT for IPv6\n"
          "  --seed N                seed of the decisions (default 1)\n"
          "  --up SPEC               the road from the daemon to the server\n"
          "  --down SPEC             the road from the server to the daemon\n"
          "  --both SPEC             both roads\n"
          "  --pause AT:SECONDS      a dead line AT seconds after the start (may repeat)\n"
          "  --pause-on-usr1 SECONDS a dead line on each SIGUSR1\n"
          "  --stats FILE            the counts as JSON, written at the end\n"
          "  -h, --help              this text\n"
          "SPEC: comma-separated loss=P, burst=ENTER:LEAVE[:LOSS], delay=MS, jitter=MS,\n"
          "dup=P, reorder=P. SIGINT and SIGTERM end the program.\n");
}

bool parseSeconds(const char* text, double* value) {
  char* end = nullptr;
  *value = strtod(text, &end);
  return end != text && *end == '\0' && *value >= 0;
}

bool parseOptions(int argc, char** argv, Options* o) {
  enum { kListen = 1000, kServer, kSeed, kUp, kDown, kBoth, kPause, kPauseOnUsr1, kStats, kHelp = 'h' };
  static const struct option kOptions[] = {
      {"listen", required_argument, nullptr, kListen},
      {"server", required_argument, nullptr, kServer},
      {"seed", required_argument, nullptr, kSeed},
      {"up", required_argument, nullptr, kUp},
      {"down", required_argument, nullptr, kDown},
      {"both", required_argument, nullptr, kBoth},
      {"pause", required_argument, nullptr, kPause},
      {"pause-on-usr1", required_argument, nullptr, kPauseOnUsr1},
      {"stats", required_argument, nullptr, kStats},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  while ((option = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    std::string error;
    bool ok = true;
    switch (option) {
      case kListen:
        o->road.listen = optarg;
        o->listenGiven = true;
        break;
      case kServer: o->road.server = optarg; break;
      case kSeed: {
        char* end = nullptr;
        o->road.seed = strtoull(optarg, &end, 10);
        ok = *optarg != '\0' && *optarg != '-' && *end == '\0';
        if (!ok) error = "--seed needs a whole number of 0 or more";
        break;
      }
      case kUp: ok = parseRoadSpec(optarg, &o->road.up, &error); break;
      case kDown: ok = parseRoadSpec(optarg, &o->road.down, &error); break;
      case kBoth:
        ok = parseRoadSpec(optarg, &o->road.up, &error) && parseRoadSpec(optarg, &o->road.down, &error);
        break;
      case kPause: {
        std::string text = optarg;
        size_t colon = text.find(':');
        RoadSettings::Pause p{0, 0};
        ok = colon != std::string::npos && parseSeconds(text.substr(0, colon).c_str(), &p.atSeconds) &&
             parseSeconds(text.substr(colon + 1).c_str(), &p.seconds);
        if (ok) o->road.pauses.push_back(p);
        if (!ok) error = "--pause needs AT:SECONDS, two numbers of 0 or more";
        break;
      }
      case kPauseOnUsr1:
        ok = parseSeconds(optarg, &o->pauseOnSignal);
        if (!ok) error = "--pause-on-usr1 needs a number of seconds";
        break;
      case kStats: o->statsPath = optarg; break;
      case kHelp: usage(stdout); exit(0);
      default: return false;
    }
    if (!ok) {
      fprintf(stderr, "zelk-road: %s\n", error.c_str());
      return false;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "zelk-road: unexpected argument %s\n", argv[optind]);
    return false;
  }
  if (!o->listenGiven || o->road.server.empty()) {
    fprintf(stderr, "zelk-road: --listen and --server are both needed\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    usage(stderr);
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  UniqueFd signalDescriptor(signalfd(-1, &signals, SFD_CLOEXEC));
  if (!signalDescriptor.valid()) {
    perror("zelk-road: signalfd");
    return 1;
  }

  RoadRelay relay;
  if (!relay.open(options.road)) {
    fprintf(stderr, "zelk-road: %s\n", relay.error().c_str());
    return relay.settingsRefused() ? 2 : 1;
  }
  printf("zelk-road: listening on %s, server %s, seed %llu\n", relay.listenText().c_str(), relay.serverText().c_str(),
         static_cast<unsigned long long>(options.road.seed));
  fflush(stdout);

  relay.run(
      signalDescriptor.get(),
      [&] {
        struct signalfd_siginfo info;
        if (read(signalDescriptor.get(), &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) return true;
        if (info.ssi_signo != SIGUSR1) return false;
        if (options.pauseOnSignal > 0) {
          relay.pauseFor(static_cast<int64_t>(options.pauseOnSignal * 1000));
          printf("zelk-road: dead line for %g s\n", options.pauseOnSignal);
          fflush(stdout);
        }
        return true;
      },
      [](const std::string& client) {
        printf("zelk-road: client %s\n", client.c_str());
        fflush(stdout);
      });

  if (!options.statsPath.empty()) {
    FILE* stats = fopen(options.statsPath.c_str(), "w");
    bool written = stats != nullptr && fprintf(stats, "%s\n", relay.countsJson().c_str()) > 0;
    if (stats != nullptr) written = fclose(stats) == 0 && written;
    if (!written) {
      perror(("zelk-road: " + options.statsPath).c_str());
      return 1;
    }
  }
  return 0;
}
