// SPDX-License-Identifier: GPL-2.0-or-later
// The playout buffer of network calls. It holds the server's real-time packets
// (voice headers, bursts, embedded data, terminators: one sequence counter numbers
// them all) and hands them back in sequence order: each burst at its turn, one turn
// every 60 ms, the first turn a set delay after the call's first burst arrived;
// the packets between bursts in their place, at the latest a set delay after they
// arrived. Doubles and packets whose place has already been played are dropped.
// A burst missing at its turn is played as a burst of silence.
//
// A missing sequence number is taken for a burst, since that is what nearly every
// packet of a call is; before the call's first burst it is taken for a header,
// which needs no turn. The ring holds copies of the packets: nothing is allocated
// after construction. Network thread only; time comes in as the monotonic
// microseconds the caller passes.
#pragma once

#include <stdint.h>

class PlayoutBuffer {
 public:
  static constexpr int kCapacity = 128;     // sequence numbers held at once: over 7 s of voice
  static constexpr int kMaxPacket = 64;     // bytes kept of a packet: the receive buffer's size
  static constexpr int64_t kTurnUs = 60000;  // one burst of three AMBE frames
  static constexpr int kMinDelayMs = 20;
  static constexpr int kMaxDelayMs = 2000;

  // Three AMBE frames of silence, the payload of a fill.
  static const uint8_t kSilenceBurst[27];

  // Late: the packet's place has been played (or given up) already.
  enum class Arrival { Held, Duplicate, Late };
  enum class Out { Nothing, Packet, Silence };

  explicit PlayoutBuffer(int delayMs);

  // True for a packet of the real-time stream, which the buffer takes.
  static bool takes(const uint8_t* packet, int length);
  // Takes a copy of a real-time packet of at least a header's length that arrived
  // at nowUs (bytes beyond kMaxPacket are not kept).
  Arrival accept(const uint8_t* packet, int length, int64_t nowUs);
  // What is due at nowUs: Packet (*packet and *length point into the buffer until
  // the next call), Silence for a missing burst's turn, or Nothing.
  Out next(int64_t nowUs, const uint8_t** packet, int* length);
  // Microseconds until next() has something: 0 when it has now, -1 when the
  // buffer waits for nothing.
  int64_t usUntilDue(int64_t nowUs) const;
  // True while packets wait in the buffer.
  bool holding() const { return held > 0; }

 private:
  enum class State : uint8_t { Empty, Held, Played, Filled, Skipped };
  struct Entry {
    uint32_t sequence = 0;
    State state = State::Empty;
    bool burst = false;
    uint8_t length = 0;
    int64_t arrivalUs = 0;
    uint8_t bytes[kMaxPacket];
  };
  // Skip gives up a missing number that had no turn; SkipTurn one whose turn is gone.
  enum class Step { None, Wait, Release, Fill, Skip, SkipTurn, End };
  struct Decision {
    Step step = Step::None;
    int64_t dueUs = 0;
  };

  Entry& at(uint32_t sequence) { return ring[sequence % kCapacity]; }
  const Entry& at(uint32_t sequence) const { return ring[sequence % kCapacity]; }
  const Entry* find(uint32_t sequence) const;  // the entry of this number, any state but Empty
  bool isHeld(uint32_t sequence) const;
  bool lowestBurst(uint32_t* sequence) const;
  int64_t firstTurnUs(uint32_t lowest) const;  // of the lowest held burst, before a burst of the call played
  bool heldAfter(uint32_t sequence, uint32_t* found) const;
  Decision decide(int64_t nowUs) const;
  void startStream(uint32_t sequence, bool clear);
  void advance(State state, bool turnTaken);

  const int64_t delayUs;
  Entry ring[kCapacity];
  int held = 0;
  bool active = false;        // a stream is being played
  bool started = false;       // something of it was played: nextSequence no longer moves back
  bool timed = false;         // a burst of the current call played: nextTurnUs is set
  bool history = false;       // an earlier stream ended at openFrom
  uint32_t openFrom = 0;      // with history: the lowest number a new stream may take
  uint32_t nextSequence = 0;  // the lowest number not yet played, filled or given up
  uint32_t highest = 0;       // the highest number held in the stream
  int64_t nextTurnUs = 0;     // when timed: the turn of the first turn-taking number from nextSequence
  int blindFills = 0;         // fills in a row with nothing later held
};
