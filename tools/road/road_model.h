// SPDX-License-Identifier: GPL-2.0-or-later
// What a road does to the datagrams of one direction: random loss, loss in
// bursts (two states, good and bad), a fixed delay with jitter, doubling and
// holding back. A RoadSpec is the plain description ("loss=0.01,jitter=30");
// a RoadModel draws the decision for each datagram in turn from its own seeded
// generator, the same decisions for the same seed, whatever the timing. It is a
// plain value, used by one thread.
#pragma once

#include <stdint.h>

#include <string>

struct RoadSpec {
  double loss = 0;         // probability that a datagram is lost, in either state
  double burstEnter = 0;   // per datagram, good -> bad
  double burstLeave = 1;   // per datagram, bad -> good
  double burstLoss = 1;    // probability of loss in the bad state
  int delayMs = 0;         // added to every datagram
  int jitterMs = 0;        // plus a uniform 0..jitterMs of its own
  double duplicate = 0;    // a second copy follows
  double reorder = 0;      // held back until the next datagram has gone

  bool perfect() const;
};

// Parses "loss=P,burst=ENTER:LEAVE[:LOSS],delay=MS,jitter=MS,dup=P,reorder=P",
// items in any order, into *spec (items not named keep their value). False,
// with *error saying which item and why, on anything else; the empty text is a
// perfect road.
bool parseRoadSpec(const std::string& text, RoadSpec* spec, std::string* error);

// The fate of one datagram.
struct RoadDecision {
  bool lost = false;
  int64_t delayUs = 0;      // from arrival to departure
  bool doubled = false;     // a copy leaves kCopyAfterUs after the first
  bool heldBack = false;    // waits until the next datagram of its way has left
};

class RoadModel {
 public:
  static constexpr int64_t kCopyAfterUs = 10000;

  RoadModel(const RoadSpec& spec, uint64_t seed);
  // The next datagram's fate. Every call draws the same number of values, so a
  // datagram's loss does not depend on whether doubling is on, and so on.
  RoadDecision next();
  bool inBadState() const { return bad; }

 private:
  double uniform();  // [0, 1)
  uint64_t draw();   // splitmix64: the same sequence on every platform

  RoadSpec spec;
  uint64_t state;
  bool bad = false;
};
