// SPDX-License-Identifier: GPL-2.0-or-later
// zelk-rewind-sim: a Rewind server on a loopback UDP port for demos and manual
// tests. It prints one line per packet and event; see docs/rewind-sim.md.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "base/unique_fd.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace {

struct Options {
  std::string bind = "127.0.0.1";
  int port = 54006;
  std::string password = ZELK_DEFAULT_BM_PASSWORD;
  int challengeLength = 16;
  bool parrot = false;
  int parrotDelayMs = 1000;
  double playAfter = -1;
  double playEvery = 10;
  int playCount = 1;
  SimCall call;
  bool silent = false;
  double silentAfter = -1;
  bool keepAliveReplies = true;
  bool showBursts = true;
  double exitAfter = -1;
};

void usage(FILE* out) {
  fprintf(out,
          "Usage: zelk-rewind-sim [options]\n"
          "A Rewind network server for tests and demos, on a loopback UDP port.\n"
          "  --bind ADDR             loopback address: 127.0.0.1 (default) or ::1\n"
          "  --port N                UDP port (default 54006, 0 picks a free one)\n"
          "  --password TEXT         login password (default %s)\n"
          "  --challenge-length N    random bytes per login challenge (default 16)\n"
          "  --parrot                echo every call received back after it ends\n"
          "  --parrot-delay MS       pause before the echo (default 1000)\n"
          "  --play-after SEC        play a network call SEC seconds after the login\n"
          "  --play-every SEC        pause between played calls (default 10)\n"
          "  --play-count N          calls to play (default 1)\n"
          "  --play-src ID           caller's radio ID (default 2345678)\n"
          "  --play-dst ID           destination (default: the subscribed talk group)\n"
          "  --play-private          private call instead of a group call\n"
          "  --play-bursts N         voice bursts per call (default 50, 3 seconds)\n"
          "  --play-alias TEXT       talker alias sent with each played call\n"
          "  --fast                  play calls as fast as possible, not at 60 ms per burst\n"
          "  --silent                start silent: receive, print, answer nothing\n"
          "  --silent-after SEC      go silent SEC seconds after the login\n"
          "  --no-keepalive-replies  leave a logged-in client's keep-alives unanswered\n"
          "  --hide-bursts           no line per received voice burst\n"
          "  --exit-after SEC        end after SEC seconds\n"
          "  -h, --help              this text\n"
          "Standard input takes one command per line: play, silent, answer,\n"
          "keepalive on, keepalive off, quit. SIGUSR1 toggles silence, SIGUSR2 plays\n"
          "a call, SIGINT and SIGTERM end the program.\n",
          ZELK_DEFAULT_BM_PASSWORD);
}

bool parseNumber(const char* text, double* value) {
  char* end = nullptr;
  *value = strtod(text, &end);
  return end != text && *end == '\0';
}

bool parseOptions(int argc, char** argv, Options* o) {
  enum {
    kBind = 1000, kPort, kPassword, kChallenge, kParrot, kParrotDelay, kPlayAfter, kPlayEvery, kPlayCount,
    kPlaySrc, kPlayDst, kPlayPrivate, kPlayBursts, kPlayAlias, kFast, kSilent, kSilentAfter, kNoReplies,
    kHideBursts, kExitAfter, kHelp = 'h'
  };
  static const struct option kOptions[] = {
      {"bind", required_argument, nullptr, kBind},
      {"port", required_argument, nullptr, kPort},
      {"password", required_argument, nullptr, kPassword},
      {"challenge-length", required_argument, nullptr, kChallenge},
      {"parrot", no_argument, nullptr, kParrot},
      {"parrot-delay", required_argument, nullptr, kParrotDelay},
      {"play-after", required_argument, nullptr, kPlayAfter},
      {"play-every", required_argument, nullptr, kPlayEvery},
      {"play-count", required_argument, nullptr, kPlayCount},
      {"play-src", required_argument, nullptr, kPlaySrc},
      {"play-dst", required_argument, nullptr, kPlayDst},
      {"play-private", no_argument, nullptr, kPlayPrivate},
      {"play-bursts", required_argument, nullptr, kPlayBursts},
      {"play-alias", required_argument, nullptr, kPlayAlias},
      {"fast", no_argument, nullptr, kFast},
      {"silent", no_argument, nullptr, kSilent},
      {"silent-after", required_argument, nullptr, kSilentAfter},
      {"no-keepalive-replies", no_argument, nullptr, kNoReplies},
      {"hide-bursts", no_argument, nullptr, kHideBursts},
      {"exit-after", required_argument, nullptr, kExitAfter},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  int index = 0;
  while ((option = getopt_long(argc, argv, "h", kOptions, &index)) != -1) {
    double n = 0;
    bool numeric = optarg != nullptr && parseNumber(optarg, &n);
    switch (option) {
      case kBind: o->bind = optarg; break;
      case kPassword: o->password = optarg; break;
      case kPlayAlias: o->call.talkerAlias = optarg; break;
      case kParrot: o->parrot = true; break;
      case kPlayPrivate: o->call.privateCall = true; break;
      case kFast: o->call.dmrPace = false; break;
      case kSilent: o->silent = true; break;
      case kNoReplies: o->keepAliveReplies = false; break;
      case kHideBursts: o->showBursts = false; break;
      case kHelp: usage(stdout); exit(0);
      case kPort: case kChallenge: case kParrotDelay: case kPlayAfter: case kPlayEvery: case kPlayCount:
      case kPlaySrc: case kPlayDst: case kPlayBursts: case kSilentAfter: case kExitAfter:
        if (!numeric || n < 0) {
          fprintf(stderr, "zelk-rewind-sim: --%s needs a number of 0 or more\n", kOptions[index].name);
          return false;
        }
        if (option == kPort) o->port = static_cast<int>(n);
        if (option == kChallenge) o->challengeLength = static_cast<int>(n);
        if (option == kParrotDelay) o->parrotDelayMs = static_cast<int>(n);
        if (option == kPlayAfter) o->playAfter = n;
        if (option == kPlayEvery) o->playEvery = n;
        if (option == kPlayCount) o->playCount = static_cast<int>(n);
        if (option == kPlaySrc) o->call.source = static_cast<uint32_t>(n);
        if (option == kPlayDst) o->call.destination = static_cast<uint32_t>(n);
        if (option == kPlayBursts) o->call.bursts = static_cast<int>(n);
        if (option == kSilentAfter) o->silentAfter = n;
        if (option == kExitAfter) o->exitAfter = n;
        break;
      default:
        return false;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "zelk-rewind-sim: unexpected argument %s\n", argv[optind]);
    return false;
  }
  return true;
}

double nowSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

void playOne(RewindSimulator& sim, const SimCall& call) {
  if (!sim.playCall(call)) {
    printf("PLAY refused: no client logged in\n");
    fflush(stdout);
  }
}

// Runs one command line from standard input; false for quit.
bool runCommand(RewindSimulator& sim, const Options& options, std::string line, bool* silent) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line == "quit" || line == "exit") return false;
  if (line == "play") {
    playOne(sim, options.call);
  } else if (line == "silent") {
    *silent = true;
    sim.setSilent(true);
  } else if (line == "answer") {
    *silent = false;
    sim.setSilent(false);
  } else if (line == "keepalive on") {
    sim.setAnswerKeepAlives(true);
  } else if (line == "keepalive off") {
    sim.setAnswerKeepAlives(false);
  } else if (!line.empty()) {
    printf("unknown command: %s (play, silent, answer, keepalive on|off, quit)\n", line.c_str());
    fflush(stdout);
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

  // Signals arrive on a descriptor in the main loop; block them before any thread exists.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  UniqueFd signalDescriptor(signalfd(-1, &signals, SFD_CLOEXEC));
  const int signalFd = signalDescriptor.get();
  if (signalFd < 0) {
    perror("zelk-rewind-sim: signalfd");
    return 1;
  }

  RewindSimulator sim;
  sim.setTrace(stdout, options.showBursts);
  sim.setPassword(options.password);
  sim.setChallengeLength(static_cast<size_t>(options.challengeLength));
  sim.setParrot(options.parrot, options.parrotDelayMs, options.call.dmrPace);
  if (!options.keepAliveReplies) sim.setAnswerKeepAlives(false);
  bool silent = options.silent;
  if (silent) sim.setSilent(true);
  if (!sim.start(options.bind, options.port)) {
    fprintf(stderr, "zelk-rewind-sim: %s\n", sim.error().c_str());
    return 1;
  }

  const double started = nowSeconds();
  double loginAt = -1;
  double nextPlay = -1;
  int playsLeft = options.playAfter >= 0 ? options.playCount : 0;
  bool silentDone = options.silentAfter < 0;
  bool stdinOpen = true;
  std::string pending;

  for (;;) {
    struct pollfd fds[2] = {{signalFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    poll(fds, 2, 100);
    const double now = nowSeconds();

    if (fds[0].revents & POLLIN) {
      struct signalfd_siginfo info;
      if (read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGUSR1) {
          silent = !silent;
          sim.setSilent(silent);
        } else if (info.ssi_signo == SIGUSR2) {
          playOne(sim, options.call);
        } else {
          break;
        }
      }
    }
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      char chunk[256];
      ssize_t n = read(0, chunk, sizeof(chunk));
      if (n <= 0) {
        stdinOpen = false;
      } else {
        pending.append(chunk, static_cast<size_t>(n));
      }
      bool quit = false;
      size_t newline;
      while (!quit && (newline = pending.find('\n')) != std::string::npos) {
        quit = !runCommand(sim, options, pending.substr(0, newline), &silent);
        pending.erase(0, newline + 1);
      }
      if (quit) break;
    }

    if (loginAt < 0 && sim.loggedIn()) {
      loginAt = now;
      if (playsLeft > 0) nextPlay = loginAt + options.playAfter;
    }
    if (playsLeft > 0 && nextPlay >= 0 && now >= nextPlay) {
      playOne(sim, options.call);
      --playsLeft;
      nextPlay = now + options.playEvery;
    }
    if (!silentDone && loginAt >= 0 && now >= loginAt + options.silentAfter) {
      silentDone = true;
      silent = true;
      sim.setSilent(true);
    }
    if (options.exitAfter >= 0 && now >= started + options.exitAfter) break;
  }

  sim.stop();
  printf("BYE\n");
  fflush(stdout);
  return 0;
}
