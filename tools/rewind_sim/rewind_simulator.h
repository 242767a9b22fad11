// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in for a Rewind network server on a loopback UDP port, for tests (in
// process) and for the demo (zelk-rewind-sim). It challenges an unknown client's
// keep-alive with random bytes, accepts the SHA-256 answer for its password (a wrong
// answer is challenged again), answers keep-alives of a logged-in client, keeps the
// set of talk groups it subscribed and confirms each subscription, records every datagram it receives, plays network calls into the
// subscribed talk group, and can echo a received call back (parrot).
//
// Threads: the simulator runs a receive thread and a player thread of its own.
// Every public operation is safe from any thread; waits are bounded by the given
// time-out. It serves one client at a time: the endpoint that sent the latest
// well-formed packet. It only ever binds to and answers loopback addresses.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/unique_fd.h"

// One received datagram. Header fields are valid only when wellFormed.
struct SimPacket {
  bool wellFormed = false;  // at least a header and the magic "REWIND01"
  uint16_t type = 0;
  uint16_t flags = 0;
  uint32_t sequence = 0;
  uint16_t length = 0;            // what the header's length field says
  std::vector<uint8_t> payload;   // the bytes after the header
  std::vector<uint8_t> raw;       // the whole datagram
  std::string source;             // "127.0.0.1:40000" or "[::1]:40000"
  std::chrono::steady_clock::time_point arrival;
};

// A network call for playCall.
struct SimCall {
  bool privateCall = false;   // false: group call (call type 0); true: private (3)
  uint32_t source = 2345678;  // radio ID of the caller
  uint32_t destination = 0;   // 0: the talk group the client subscribed (9 when none)
  int headers = 3;            // voice headers before the first burst
  int bursts = 50;            // voice bursts; burst i carries burstPayload(i)
  std::string talkerAlias;    // empty: no talker alias blocks
  int aliasAfterBurst = 3;    // the alias blocks follow this many bursts
  bool terminator = true;
  bool dmrPace = true;        // one packet every 60 ms; false: as fast as possible
};

class RewindSimulator {
 public:
  static constexpr int kPacketIntervalMs = 60;
  static constexpr size_t kMaxParrotBursts = 10000;  // ten minutes of speech
  static constexpr size_t kMaxRecordedPackets = 100000;

  RewindSimulator();
  ~RewindSimulator();
  RewindSimulator(const RewindSimulator&) = delete;
  RewindSimulator& operator=(const RewindSimulator&) = delete;

  // Binds a loopback address (127.0.0.0/8 or ::1) on the port (0: any free port)
  // and starts the threads. False with error() telling why.
  bool start(const std::string& bindAddress = "127.0.0.1", int port = 0);
  void stop();
  int port() const;
  std::string error() const;

  void setPassword(const std::string& password);
  void setChallengeLength(size_t length);  // random bytes per challenge, 1 to 1024
  // Silent: receive and record, but send nothing at all (no answers, no calls).
  void setSilent(bool silent);
  // Keep-alives of a logged-in client go unanswered while this is false.
  void setAnswerKeepAlives(bool answer);
  // Echo each call the client sends, delayMs after its terminator.
  void setParrot(bool on, int delayMs = 1000, bool dmrPace = true);
  // One readable line per packet received and sent (voice bursts received only
  // when bursts is true; bursts sent never) and per event; nullptr: quiet.
  void setTrace(FILE* out, bool bursts = true);

  // The client's endpoint (the latest sender of a well-formed packet).
  bool clientEndpoint(struct sockaddr_storage* address, socklen_t* length) const;
  std::string clientEndpointText() const;
  bool loggedIn() const;
  // The first talk group subscribed since the last cancelling packet: the
  // client's current group (0 when none).
  uint32_t subscribedTalkGroup() const;
  // Every talk group subscribed since the last cancelling packet (or the login).
  std::set<uint32_t> subscribedTalkGroups() const;
  int callsPlayed() const;

  std::vector<SimPacket> packets() const;
  std::vector<SimPacket> packetsOfType(uint16_t type) const;
  size_t packetCount() const;
  void clearPackets();
  // Waits until at least count well-formed packets of the type were recorded.
  bool waitForPacket(uint16_t type, size_t count, int timeoutMs) const;
  bool waitForPacketCount(size_t count, int timeoutMs) const;
  bool waitForLogin(int timeoutMs) const;
  // Waits until the subscribed talk groups are exactly these.
  bool waitForSubscriptions(const std::set<uint32_t>& groups, int timeoutMs) const;

  // Queues a call to the logged-in client; false when no client is logged in.
  bool playCall(const SimCall& call);
  // Waits until every queued call (played or parrot) has gone out.
  bool waitCallsDone(int timeoutMs) const;

  // Sends to the client's endpoint from the server's socket, even when silent.
  bool sendRaw(const void* data, size_t length);
  bool sendPacket(uint16_t type, uint16_t flags, const void* payload, size_t length);

  // The recognisable content of burst index: bytes 0-1 the index (big-endian),
  // then bytes counting up from the index's low byte.
  static void burstPayload(int index, uint8_t out[27]);
  static const char* typeName(uint16_t type);

 private:
  struct Step {
    uint16_t type;
    uint16_t flags;
    std::vector<uint8_t> payload;
    bool paced;  // waits for its 60 ms slot before going out
  };
  struct Job {
    std::chrono::steady_clock::time_point notBefore;
    bool dmrPace;
    std::vector<Step> steps;
  };

  static void* receiveThread(void* self);
  static void* playThread(void* self);
  void _receiveThread();
  void _playThread();

  void handleDatagram(const uint8_t* data, size_t size, const struct sockaddr_storage& from, socklen_t fromLength)
      REQUIRES(mutex);
  void handlePacket(const SimPacket& packet) REQUIRES(mutex);
  // The phases of a session: logging in, the subscription and its end, calls.
  // The first two say whether the packet type was theirs.
  bool handleLoginPacket(const SimPacket& packet) REQUIRES(mutex);
  bool handleSessionPacket(const SimPacket& packet) REQUIRES(mutex);
  void handleCallPacket(const SimPacket& packet) REQUIRES(mutex);
  void queueParrotEcho() REQUIRES(mutex);  // the call just recorded, played back
  void collectAliasBlock(const std::vector<uint8_t>& payload) REQUIRES(mutex);
  void sendChallenge() REQUIRES(mutex);
  bool sendLocked(uint16_t type, uint16_t flags, const void* payload, size_t length, bool trace = true)
      REQUIRES(mutex);
  void trace(const char* format, ...) __attribute__((format(printf, 2, 3))) REQUIRES(mutex);
  void traceReceived(const SimPacket& packet, const char* note) REQUIRES(mutex);
  Job callJob(const SimCall& call) const REQUIRES(mutex);
  void resetClient() REQUIRES(mutex);
  void traceSubscriptions() REQUIRES(mutex);  // the GROUPS line
  void closeDescriptors() REQUIRES(mutex);

  mutable Mutex mutex;
  mutable CondVar changed;  // a packet recorded, a login, a job finished
  CondVar jobsChanged;      // a job queued, or stopping

  UniqueFd handle GUARDED_BY(mutex);
  UniquePipe wakePipe GUARDED_BY(mutex);
  int boundPort GUARDED_BY(mutex) = 0;
  bool running GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  pthread_t receiver{};
  pthread_t player{};
  std::string lastError GUARDED_BY(mutex);

  std::string password GUARDED_BY(mutex);
  size_t challengeLength GUARDED_BY(mutex) = 16;
  bool silent GUARDED_BY(mutex) = false;
  bool answerKeepAlives GUARDED_BY(mutex) = true;
  bool parrot GUARDED_BY(mutex) = false;
  int parrotDelayMs GUARDED_BY(mutex) = 1000;
  bool parrotPace GUARDED_BY(mutex) = true;
  FILE* traceOut GUARDED_BY(mutex) = nullptr;
  bool traceBursts GUARDED_BY(mutex) = true;

  // The client.
  struct sockaddr_storage client GUARDED_BY(mutex) {};
  socklen_t clientLength GUARDED_BY(mutex) = 0;
  std::string clientText GUARDED_BY(mutex);
  bool authenticated GUARDED_BY(mutex) = false;
  uint32_t clientID GUARDED_BY(mutex) = 0;
  uint32_t talkGroup GUARDED_BY(mutex) = 0;                // the first of subscriptions
  std::set<uint32_t> subscriptions GUARDED_BY(mutex);  // since the last cancelling packet
  std::vector<std::vector<uint8_t>> expectedAnswers GUARDED_BY(mutex);  // digests of the challenges still open

  // The client's call being recorded for the parrot.
  bool recording GUARDED_BY(mutex) = false;
  std::vector<uint8_t> recordedHeader GUARDED_BY(mutex);
  std::vector<std::vector<uint8_t>> recordedBursts GUARDED_BY(mutex);
  std::vector<uint8_t> aliasBlocks[4] GUARDED_BY(mutex);

  std::vector<SimPacket> received GUARDED_BY(mutex);
  std::deque<Job> jobs GUARDED_BY(mutex);
  bool playing GUARDED_BY(mutex) = false;
  int played GUARDED_BY(mutex) = 0;
  uint32_t counters[2] GUARDED_BY(mutex) = {0, 0};
  std::mt19937 randomBytes GUARDED_BY(mutex);
};
