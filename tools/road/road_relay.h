// SPDX-License-Identifier: GPL-2.0-or-later
// A UDP relay on loopback that plays a bad road between a client (the daemon)
// and a server: "up" is client -> server, "down" server -> client, each with a
// RoadModel of its own. The first source that sends to the listening socket is
// the client; datagrams from anyone else are counted and dropped. A dead line
// (a pause) drops everything both ways while it lasts.
//
// Delivery is timed on the thread that calls run(): a queue ordered by
// departure time and a poll whose time-out is the next departure, never a
// sleep per datagram. Time is the monotonic time of the Clock it is given, so
// a process whose clock is moved from outside moves the road's delays and
// pauses with it. Everything but construction runs on that one thread; the
// counts may be read once run() has returned.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "tools/road/road_model.h"

struct RoadSettings {
  std::string listen = "127.0.0.1:0";  // ADDR:PORT or [::1]:PORT, loopback only; port 0 picks one
  std::string server;                  // likewise, port 1 to 65535
  uint64_t seed = 1;
  RoadSpec up, down;
  struct Pause {
    double atSeconds, seconds;  // from the start of run()
  };
  std::vector<Pause> pauses;
};

struct RoadCounts {
  uint64_t received = 0;   // datagrams that entered this way
  uint64_t sent = 0;       // datagrams that left it, second copies included
  uint64_t lost = 0;       // dropped by the model or by a dead line
  uint64_t doubled = 0;    // second copies made
  uint64_t reordered = 0;  // held back and overtaken by the next datagram
};

enum class RoadWay { Up = 0, Down = 1 };

class RoadRelay {
 public:
  static constexpr int64_t kMostHeldUs = 250000;  // a held datagram leaves at the latest after this
  static constexpr size_t kMostQueued = 100000;   // datagrams in flight; beyond that they are lost

  explicit RoadRelay(Clock clock = Clock());
  RoadRelay(const RoadRelay&) = delete;
  RoadRelay& operator=(const RoadRelay&) = delete;

  // Checks the settings, binds the listening socket and opens the one towards
  // the server. False with error() telling why, and settingsRefused() when the
  // settings were at fault rather than a socket.
  bool open(const RoadSettings& settings);
  const std::string& error() const { return lastError; }
  bool settingsRefused() const { return refused; }
  std::string listenText() const;  // the bound address, "127.0.0.1:40000" or "[::1]:40000"
  std::string serverText() const;

  // Relays until onControl, called whenever controlFd is readable, returns false.
  // onClient is told the client's address once, when it first appears.
  void run(int controlFd, const std::function<bool()>& onControl,
           const std::function<void(const std::string&)>& onClient = nullptr);
  // A dead line from now on for ms, both ways (a later one may extend it).
  void pauseFor(int64_t ms);

  RoadCounts counts(RoadWay way) const { return ways[static_cast<int>(way)].counts; }
  uint64_t strangers() const { return strangerCount; }
  // {"up":{"received":..,"sent":..,"lost":..,"doubled":..,"reordered":..},"down":{..},"strangers":..}
  std::string countsJson() const;

 private:
  struct Departure {
    int64_t atUs;
    uint64_t order;  // equal times leave in the order they were queued
    int way;
    bool copy;
    std::vector<uint8_t> bytes;
    bool operator>(const Departure& other) const {
      return atUs != other.atUs ? atUs > other.atUs : order > other.order;
    }
  };
  struct Way {
    explicit Way(const RoadSpec& spec, uint64_t seed) : model(spec, seed) {}
    RoadModel model;
    RoadCounts counts;
    bool holding = false;  // a datagram waits for the next one to overtake it
    uint64_t heldOrder = 0;
    int64_t heldUntilUs = 0;
    std::vector<uint8_t> held;
  };

  bool dead(int64_t nowUs) const;
  void receive(int fd, int way, int64_t nowUs, const std::function<void(const std::string&)>& onClient);
  void enter(int way, const uint8_t* data, size_t size, int64_t nowUs);
  void queue(Departure&& departure);
  void depart(int64_t nowUs);
  void transmit(int way, const std::vector<uint8_t>& bytes, int64_t nowUs);
  int64_t nextEventUs() const;

  Clock clock;
  std::string lastError;
  bool refused = false;
  UniqueFd listening, upstream;
  struct sockaddr_storage bound {}, server {}, client {};
  socklen_t boundLength = 0, serverLength = 0, clientLength = 0;
  std::vector<Way> ways;
  std::vector<RoadSettings::Pause> pauses;
  int64_t startUs = 0;
  int64_t deadUntilUs = 0;
  uint64_t strangerCount = 0;
  uint64_t entered = 0;  // the order of the next datagram queued
  std::vector<uint8_t> datagram = std::vector<uint8_t>(65536);  // what receive() reads into
  std::vector<Departure> departures;  // a heap, the earliest departure first
};
