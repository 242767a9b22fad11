// SPDX-License-Identifier: GPL-2.0-or-later
// The playout buffer driven by scripted arrivals on a clock that jumps from one
// arrival or due time to the next, as the network thread's wait does. A script
// reads "B3@180": a burst numbered 3 arrives at 180 ms (H header, B burst, E
// embedded data, T terminator); what comes out is written the same way, S for a
// silence burst.
#include "network/playout_buffer.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <sstream>
#include <string>
#include <vector>

#include "network/rewind_data.h"

namespace {

struct Case {
  const char* name;
  const char* arrivals;
  const char* played;
  int late;  // bursts refused because their place was played
};

uint16_t typeOf(char kind) {
  switch (kind) {
    case 'H': return REWIND_TYPE_DMR_DATA_BASE + 1;
    case 'T': return REWIND_TYPE_DMR_DATA_BASE + 2;
    case 'E': return REWIND_TYPE_DMR_EMBEDDED_DATA;
    default: return REWIND_TYPE_DMR_VOICE_FRAME;
  }
}

char kindOf(uint16_t type) {
  for (char kind : {'H', 'T', 'E', 'B'}) {
    if (typeOf(kind) == type) return kind;
  }
  return '?';
}

std::string play(PlayoutBuffer& buffer, const char* script, int* late) {
  struct Arrival {
    int64_t us;
    std::vector<uint8_t> packet;
  };
  std::vector<Arrival> arrivals;
  std::istringstream in(script);
  std::string item;
  while (in >> item) {
    unsigned sequence = 0, ms = 0;
    EXPECT_EQ(sscanf(item.c_str() + 1, "%u@%u", &sequence, &ms), 2) << item;
    std::vector<uint8_t> packet(REWIND_HEADER_SIZE + REWIND_VOICE_BURST_SIZE);
    writeRewindHeader(packet.data(), typeOf(item[0]), REWIND_FLAG_REAL_TIME_1, sequence, REWIND_VOICE_BURST_SIZE);
    arrivals.push_back({ms * 1000LL, packet});
  }
  std::string out;
  size_t arrived = 0;
  int64_t now = 0;
  for (int steps = 0; steps < 1000; ++steps) {
    for (; arrived < arrivals.size() && arrivals[arrived].us <= now; ++arrived) {
      const std::vector<uint8_t>& packet = arrivals[arrived].packet;
      if (buffer.accept(packet.data(), static_cast<int>(packet.size()), now) == PlayoutBuffer::Arrival::Late &&
          rewindType(reinterpret_cast<const RewindData*>(packet.data())) == REWIND_TYPE_DMR_VOICE_FRAME) {
        ++*late;
      }
    }
    const uint8_t* packet = nullptr;
    int length = 0;
    for (PlayoutBuffer::Out o; (o = buffer.next(now, &packet, &length)) != PlayoutBuffer::Out::Nothing;) {
      const std::string at = "@" + std::to_string(now / 1000);
      out += (out.empty() ? "" : " ") + (o == PlayoutBuffer::Out::Silence
                                             ? "S" + at
                                             : kindOf(rewindType(reinterpret_cast<const RewindData*>(packet))) +
                                                   std::to_string(readLE32(packet + 12)) + at);
    }
    const int64_t due = buffer.usUntilDue(now);
    EXPECT_NE(due, 0) << "nothing was due, yet the buffer asks for no wait at " << now;
    int64_t wake = due > 0 ? now + due : INT64_MAX;
    if (arrived < arrivals.size()) wake = std::min(wake, arrivals[arrived].us);
    if (wake == INT64_MAX) break;
    now = wake;
  }
  EXPECT_FALSE(buffer.holding());
  return out;
}

// With a delay of 100 ms; the server sends one packet of a call every 60 ms.
const Case kCases[] = {
    {"steady call, shifted by the delay", "H0@0 H1@60 H2@120 B3@180 B4@240 B5@300 T6@360",
     "H0@100 H1@160 H2@220 B3@280 B4@340 B5@400 T6@460", 0},
    {"reordered and doubled bursts", "H0@0 B2@125 B1@130 B3@181 B3@200 T4@240",
     "H0@100 B1@165 B2@225 B3@285 T4@340", 0},
    {"lost and late bursts filled", "H0@0 B1@60 B3@180 T5@300 B4@400", "H0@100 B1@160 S@220 B3@280 S@340 T5@400", 1},
    {"burst overtakes its headers", "B3@180 H0@190 H1@200 H2@210 B4@240 T5@300",
     "H0@280 H1@280 H2@280 B3@280 B4@340 T5@400", 0},
    {"burst trails its terminator", "H0@0 B1@60 B2@120 T4@180 B3@330", "H0@100 B1@160 B2@220 T4@280", 1},
    {"lost terminator: two fills, then idle", "H0@0 B1@60 B2@120", "H0@100 B1@160 B2@220 S@280 S@340", 0},
    {"lost embedded data takes no turn", "H0@0 B1@60 E2@61 E4@62 B5@120 T6@180",
     "H0@100 B1@160 E2@161 E4@162 B5@220 T6@280", 0},
    {"counter starts again, doubled terminator", "H5000@0 B5001@60 T5002@120 T5002@240 H0@300 B1@360 T2@420",
     "H5000@100 B5001@160 T5002@220 H0@400 B1@460 T2@520", 0},
};

TEST(PlayoutBuffer, PlaysInOrderAtTheCadenceFillsGapsAndDropsDoublesAndLatecomers) {
  for (const Case& c : kCases) {
    PlayoutBuffer buffer(100);
    int late = 0;
    EXPECT_EQ(play(buffer, c.arrivals, &late), c.played) << c.name;
    EXPECT_EQ(late, c.late) << c.name;
  }
}

}  // namespace
