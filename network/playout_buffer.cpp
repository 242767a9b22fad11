// SPDX-License-Identifier: GPL-2.0-or-later
#include "network/playout_buffer.h"

#include <string.h>

#include <algorithm>

#include "network/rewind_data.h"

namespace {

// Fills in a row while nothing later is held: covers a lost burst at the end of
// what has come so far, and costs a lost terminator no more than this much silence.
constexpr int kBlindFills = 2;
// A packet numbered further back than this is not late: the server's counter
// started again (a new session).
constexpr int32_t kFarBack = 1024;

int32_t distance(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

uint16_t typeOf(const uint8_t* packet) { return readLE16(packet + 8); }

}  // namespace

const uint8_t PlayoutBuffer::kSilenceBurst[27] = {
    0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B,  //
    0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B,  //
    0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B};

PlayoutBuffer::PlayoutBuffer(int delayMs) : delayUs(static_cast<int64_t>(delayMs) * 1000) {}

bool PlayoutBuffer::takes(const uint8_t* packet, int length) {
  return length >= static_cast<int>(REWIND_HEADER_SIZE) && (readLE16(packet + 10) & REWIND_FLAG_REAL_TIME_1) != 0;
}

PlayoutBuffer::Arrival PlayoutBuffer::accept(const uint8_t* packet, int length, int64_t nowUs) {
  const uint32_t sequence = readLE32(packet + 12);
  const bool burst = typeOf(packet) == REWIND_TYPE_DMR_VOICE_FRAME;
  if (active || history) {
    const int32_t ahead = distance(nextSequence, sequence);
    const int32_t span = distance(sequence, highest);  // the window it would open, to the highest held
    if (ahead < 0 && active && !started && span >= 0 && span < kCapacity &&
        (!history || distance(openFrom, sequence) >= 0)) {
      nextSequence = sequence;  // it overtook nothing that has played: its place is still open
    } else if (ahead < 0 && ahead >= -kFarBack) {
      const Entry* old = find(sequence);
      if (old != nullptr && old->state == State::Played) return Arrival::Duplicate;
      return Arrival::Late;
    } else if (ahead < 0 || ahead >= kCapacity) {
      startStream(sequence, true);
    } else if (!active) {
      startStream(sequence, false);
    }
  } else {
    startStream(sequence, true);
  }

  Entry& entry = at(sequence);
  if (entry.state == State::Held && entry.sequence == sequence) return Arrival::Duplicate;
  entry.sequence = sequence;
  entry.state = State::Held;
  entry.burst = burst;
  entry.arrivalUs = nowUs;
  entry.length = static_cast<uint8_t>(std::min(length, kMaxPacket));
  memcpy(entry.bytes, packet, entry.length);
  ++held;
  if (distance(highest, sequence) > 0) highest = sequence;
  return Arrival::Held;
}

PlayoutBuffer::Out PlayoutBuffer::next(int64_t nowUs, const uint8_t** packet, int* length) {
  for (;;) {
    const Decision decision = decide(nowUs);
    switch (decision.step) {
      case Step::None:
      case Step::Wait:
        return Out::Nothing;
      case Step::End:
        active = false;
        history = true;
        openFrom = nextSequence;
        return Out::Nothing;
      case Step::Skip:
        advance(State::Skipped, false);
        continue;
      case Step::SkipTurn:
        advance(State::Skipped, true);
        continue;
      case Step::Fill:
        if (held == 0) ++blindFills;
        advance(State::Filled, true);
        return Out::Silence;
      case Step::Release: {
        Entry& entry = at(nextSequence);
        const uint16_t type = typeOf(entry.bytes);
        if (entry.burst) {
          if (!timed) nextTurnUs = decision.dueUs;
          timed = true;
          blindFills = 0;
        }
        --held;
        *packet = entry.bytes;
        *length = entry.length;
        advance(State::Played, entry.burst);
        // A terminator ends the call; a header after bursts begins another one.
        // Either way the next burst's turn is measured from its own arrival again.
        if (type == REWIND_TYPE_DMR_DATA_BASE + 2 || type == REWIND_TYPE_DMR_DATA_BASE + 1) {
          timed = false;
          blindFills = 0;
        }
        return Out::Packet;
      }
    }
  }
}

int64_t PlayoutBuffer::usUntilDue(int64_t nowUs) const {
  const Decision decision = decide(nowUs);
  if (decision.step == Step::None) return -1;
  if (decision.step == Step::Wait) return decision.dueUs - nowUs;
  return 0;
}

const PlayoutBuffer::Entry* PlayoutBuffer::find(uint32_t sequence) const {
  const Entry& entry = at(sequence);
  return entry.state != State::Empty && entry.sequence == sequence ? &entry : nullptr;
}

bool PlayoutBuffer::isHeld(uint32_t sequence) const {
  const Entry* entry = find(sequence);
  return entry != nullptr && entry->state == State::Held;
}

bool PlayoutBuffer::lowestBurst(uint32_t* sequence) const {
  for (uint32_t s = nextSequence; distance(s, highest) >= 0; ++s) {
    const Entry* entry = find(s);
    if (entry != nullptr && entry->state == State::Held && entry->burst) {
      *sequence = s;
      return true;
    }
  }
  return false;
}

// Each held burst asks for its own turn a delay after it arrived. The earliest ask
// wins, so a burst that came late does not hold the others back; but no turn is
// put before the latest of their arrivals, so none is overdue when it comes. An
// ask counts back only over the bursts held before it: a missing number may have
// been no burst.
int64_t PlayoutBuffer::firstTurnUs(uint32_t lowest) const {
  int64_t earliest = INT64_MAX;
  int64_t latestArrival = INT64_MIN;
  int64_t bursts = 0;
  for (uint32_t s = lowest; distance(s, highest) >= 0; ++s) {
    const Entry* entry = find(s);
    if (entry == nullptr || entry->state != State::Held || !entry->burst) continue;
    earliest = std::min(earliest, entry->arrivalUs + delayUs - bursts * kTurnUs);
    latestArrival = std::max(latestArrival, entry->arrivalUs);
    ++bursts;
  }
  return std::max(earliest, latestArrival);
}

bool PlayoutBuffer::heldAfter(uint32_t sequence, uint32_t* found) const {
  for (uint32_t s = sequence + 1; distance(s, highest) >= 0; ++s) {
    if (isHeld(s)) {
      *found = s;
      return true;
    }
  }
  return false;
}

PlayoutBuffer::Decision PlayoutBuffer::decide(int64_t nowUs) const {
  Decision decision;
  if (!active) return decision;
  auto when = [&](Step step, int64_t dueUs) {
    decision.step = nowUs >= dueUs ? step : Step::Wait;
    decision.dueUs = dueUs;
    return decision;
  };
  uint32_t lowest = 0;
  const bool haveBurst = !timed && lowestBurst(&lowest);
  const Entry* entry = find(nextSequence);
  if (entry != nullptr && entry->state == State::Held) {
    if (entry->burst) return when(Step::Release, timed ? nextTurnUs : firstTurnUs(nextSequence));
    // A packet between bursts goes a delay after it arrived, or at once when the
    // next turn comes first.
    int64_t dueUs = entry->arrivalUs + delayUs;
    if (timed) dueUs = std::min(dueUs, nextTurnUs);
    if (haveBurst) dueUs = std::min(dueUs, firstTurnUs(lowest));
    return when(Step::Release, dueUs);
  }

  // The next number has not come. A later packet that is due by its own arrival
  // goes first: the missing one was no burst (an embedded data packet, a header),
  // or the schedule runs a turn behind the road.
  uint32_t later = 0;
  const bool laterHeld = heldAfter(nextSequence, &later);
  int64_t laterDueUs = INT64_MAX;
  if (laterHeld) {
    const Entry* waiting = find(later);
    laterDueUs = waiting->arrivalUs + delayUs;
    if (!timed && waiting->burst) laterDueUs = firstTurnUs(later);
    if (haveBurst) laterDueUs = std::min(laterDueUs, firstTurnUs(lowest));
  }
  if (!timed) {
    // Before the call's first burst: a header, which needs no turn of its own.
    if (!laterHeld) return when(Step::End, nowUs);
    return when(Step::Skip, laterDueUs);
  }
  if (laterHeld && nowUs >= laterDueUs) return when(Step::Skip, laterDueUs);
  // Nothing more has come, and the turns that could still bring it are used up.
  if (!laterHeld && (blindFills >= kBlindFills || nowUs - nextTurnUs >= kTurnUs)) return when(Step::End, nowUs);
  if (nowUs < nextTurnUs) return when(Step::Wait, std::min(nextTurnUs, laterDueUs));
  // A whole turn late (the thread was held up): that turn is gone.
  if (nowUs - nextTurnUs >= kTurnUs) return when(Step::SkipTurn, nextTurnUs);
  return when(Step::Fill, nextTurnUs);
}

void PlayoutBuffer::startStream(uint32_t sequence, bool clear) {
  if (clear) {
    for (Entry& entry : ring) entry.state = State::Empty;
    held = 0;
    history = false;
  }
  active = true;
  started = false;
  timed = false;
  nextSequence = sequence;
  highest = sequence;
  blindFills = 0;
}

void PlayoutBuffer::advance(State state, bool turnTaken) {
  Entry& entry = at(nextSequence);
  entry.sequence = nextSequence;
  entry.state = state;
  started = true;
  if (turnTaken) nextTurnUs += kTurnUs;
  if (distance(highest, nextSequence) >= 0) highest = nextSequence;
  ++nextSequence;
}
