// SPDX-License-Identifier: GPL-2.0-or-later
// Client side of the Rewind protocol: one dual-stack UDP socket to one DMR network
// server. It numbers every packet it sends, logs in by SHA-256 challenge/response,
// subscribes a talk group and sends the packets of a voice call. Apart from the
// login it does not interpret what the server sends. It writes no log lines:
// callers log its result codes together with getErrorMessage.
//
// Ownership: the client owns its current RewindContext (socket, resolved server
// address, counters, keep-alive payload). resetRewindContext swaps in a new one and
// releases the old one at once.
//
// Threads: any thread may send (TransmitRewindData and every operation built on it:
// keep-alives, subscriptions, shutdownServer, beginTransmission, transmitAudio,
// endTransmission). Each send builds its header, sends and advances its counter
// under one send mutex, so sequence numbers are never reused and packets never
// interleave with a counter update. Exactly one thread, the network thread, waits
// (waitForData), receives, logs in (ConnectRewindClient), reads getResolvedAddress
// and calls resetRewindContext; because no other thread can be waiting on the old
// socket, the replaced context can be released at once.
//
// Without a context (the socket could not be opened) every operation fails
// cleanly: connect and receive return -1, transmit returns -1 and sends nothing,
// waits return false. hasContext tells the caller so it can log it.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/unique_fd.h"
#include "network/rewind_data.h"

class StatusBoard;

// Result codes of ConnectRewindClient and ReceiveRewindData (texts in messages).
constexpr int REWIND_SUCCESS = 0;
constexpr int REWIND_ERROR_SOCKET = -1;
constexpr int REWIND_ERROR_WRONG_ADDRESS = -2;
constexpr int REWIND_ERROR_WRONG_DATA = -3;
constexpr int REWIND_ERROR_DNS_RESOLVE = -4;
constexpr int REWIND_ERROR_WRONG_PASSWORD = -5;
constexpr int REWIND_ERROR_SERVER_TIMEOUT = -6;

constexpr size_t REWIND_KEEP_ALIVE_BUFFER_SIZE = 256;

// One connection's state. A plain record: ODMRTP_CLASS creates and releases it;
// releasing it closes its socket.
struct RewindContext {
  UniqueFd handle;                               // the UDP socket
  struct addrinfo* address;                      // last resolution; its first entry is the server
  uint32_t counters[2];                          // [0] control packets, [1] real-time packets
  uint8_t data[REWIND_KEEP_ALIVE_BUFFER_SIZE];   // the keep-alive payload, built once
  int length;                                    // its length
};

struct RewindSessionPollData {};

class ODMRTP_CLASS {
 public:
  static constexpr unsigned int kDefaultTalkGroup = 9;  // subscribed when a login is given 0
  // A receive on the socket gives up after this.
  static constexpr int kReceiveTimeoutSeconds = 2;
  // A login that has not succeeded within this gives up.
  static constexpr int kLoginSeconds = 5;
  static constexpr int kLoginBufferSize = 256;  // room for one server packet during the login
  // A login answered with more challenges than this has the wrong password.
  static constexpr int kMaxChallenges = 3;

  // Error texts, indexed by the absolute value of a result code.
  static const char messages[7][32];

  // The clock's monotonic time runs the login's deadline and the local call's end
  // (the system's by default; tests hand in a ManualTime so as not to wait them out).
  // The board, when given, counts the datagrams dropped; it is borrowed.
  ODMRTP_CLASS(unsigned int userID, const char* description, Clock clock = Clock(), StatusBoard* board = nullptr);
  ~ODMRTP_CLASS();
  ODMRTP_CLASS(const ODMRTP_CLASS&) = delete;
  ODMRTP_CLASS& operator=(const ODMRTP_CLASS&) = delete;

  // Opens and prepares the socket and builds the keep-alive payload; sets userID.
  // Null when the socket cannot be opened, bound or given its time-out. The caller
  // owns the result and hands it to ReleaseRewindContext.
  RewindContext* CreateRewindContext(unsigned int userID, const char* description) EXCLUDES(sendMutex);
  static void ReleaseRewindContext(RewindContext* context);

  // Resolves the server (port is a number or a service name) and logs in; 0 once
  // the server confirmed the subscription, else one of the negative codes above.
  // Network thread only.
  int ConnectRewindClient(const char* host, const char* port, const char* password, unsigned int tg)
      EXCLUDES(sendMutex);

  // Sends one packet; 18 + length on success, -1 when nothing could be sent.
  int TransmitRewindData(unsigned short type, unsigned short flags, void* payload, unsigned int length)
      EXCLUDES(sendMutex);

  // Receives one datagram of at most size bytes (a longer one is cut): its length,
  // -1 on a failed receive (errno tells why, EAGAIN after the 2-second time-out),
  // -2 when it came from another endpoint than the server, -3 when it is shorter
  // than a header or lacks the magic. Network thread only.
  int ReceiveRewindData(RewindData* buffer, int size);

  // True when a datagram can be read from the socket within the time. The form with
  // wakeFd also returns as soon as wakeFd (ignored when negative) is readable, but
  // still answers only for the client's socket: the caller checks wakeFd itself.
  // Network thread only.
  bool waitForData(int seconds, int microseconds);
  bool waitForData(int seconds, int microseconds, int wakeFd);
  // The same, and *woken tells whether wakeFd became readable, so the caller reads
  // it only when there is something to read.
  bool waitForData(int seconds, int microseconds, int wakeFd, bool* woken);
  bool waitForData();  // without a time limit
  bool isReadDataReady();

  void TransmitRewindKeepAlive() EXCLUDES(sendMutex);
  // A cancelling packet, then a subscription for tg unless tg is 0.
  void SetRewindSubscription(unsigned int tg) EXCLUDES(sendMutex);
  // The talk groups the daemon follows besides the current one, kept in order,
  // each once. Before the network thread runs.
  void setStaticTalkGroups(const std::vector<uint32_t>& groups) EXCLUDES(sendMutex);
  // What follows a login or a talk-group change: SetRewindSubscription(tg), then
  // subscribeStaticTalkGroups(tg). Without static groups the same as the former.
  void subscribeTalkGroups(unsigned int tg) EXCLUDES(sendMutex);
  // One subscription per static group other than tg (which is already subscribed).
  void subscribeStaticTalkGroups(unsigned int tg) EXCLUDES(sendMutex);
  // Cancels the subscription and sends the close packet; the socket stays open.
  void shutdownServer() EXCLUDES(sendMutex);
  // shutdownServer, then every later send is refused (-1, nothing leaves): the
  // close packet is the last the server hears. For the ends of the daemon.
  void closeSession() EXCLUDES(sendMutex);
  // shutdownServer, a fresh context (new socket, counters from 0), then a login.
  // When no new context can be had, the current one stays and the result is -1.
  // Network thread only.
  int resetRewindContext(unsigned int userID, const char* description, const char* host, const char* port,
                         const char* password, unsigned int tg) EXCLUDES(sendMutex);

  void setTransmitData(int src, int dst, int callType) EXCLUDES(sendMutex);
  // The voice header three times; the source is always the radio ID of this
  // client's userID (see radioIDOf).
  void beginTransmission(int src, int dst, int callType) EXCLUDES(sendMutex);
  void transmitAudio(unsigned char* burst) EXCLUDES(sendMutex);  // 27 bytes
  void endTransmission() EXCLUDES(sendMutex);
  // A local call is under way from beginTransmission until endTransmission or
  // until no voice went out for kCallQuietMs: 0 when none is, else how long it
  // counts as under way at least. Any thread.
  int64_t msUntilLocalCallEnds() const EXCLUDES(sendMutex);
  static constexpr int64_t kCallQuietMs = 1500;

  // The radio ID that calls of a login ID carry. An ID of up to 24 bits is its own;
  // a nine-digit ID above that is the network's hotspot form, a seven-digit radio
  // ID and a two-digit suffix (310123401: 3101234). False for any other ID.
  static bool radioIDOf(uint32_t loginID, uint32_t* radioID);
  static const char* getErrorMessage(int code);
  const char* getResolvedAddress();
  int WaitForRewindSessionEnd(RewindSessionPollData* data, long seconds, long microseconds);
  bool hasContext() const EXCLUDES(sendMutex);

 private:
  struct ContextRelease {
    void operator()(RewindContext* context) const { ReleaseRewindContext(context); }
  };
  using ContextPointer = std::unique_ptr<RewindContext, ContextRelease>;

  // Builds the header, sends, advances the counter.
  int sendLocked(uint16_t type, uint16_t flags, const void* payload, unsigned int length) REQUIRES(sendMutex);
  void subscribeLocked(unsigned int tg) REQUIRES(sendMutex);
  void subscribeStaticLocked(unsigned int tg) REQUIRES(sendMutex);
  bool waitOn(int timeoutMs, int wakeFd, bool* woken);
  // The network thread's view of context: it alone replaces the context, so it
  // reads it without the lock.
  RewindContext* networkContext() const NO_THREAD_SAFETY_ANALYSIS { return context.get(); }

  // Guards the counters and the address list of the context, the swap of context,
  // transmitData, userID, sourceID and closed. The network thread reads context and
  // its socket without it: it is the only thread that ever changes them.
  mutable Mutex sendMutex;
  ContextPointer context GUARDED_BY(sendMutex);
  uint8_t transmitData[REWIND_VOICE_HEADER_SIZE] GUARDED_BY(sendMutex) = {};
  char resolvedAddress[80] = {};
  uint32_t userID GUARDED_BY(sendMutex) = 0;
  uint32_t sourceID GUARDED_BY(sendMutex) = 0;  // radioIDOf(userID): the source of every voice header
  bool closed GUARDED_BY(sendMutex) = false;    // closeSession was called
  std::vector<uint32_t> staticGroups GUARDED_BY(sendMutex);
  bool localCall GUARDED_BY(sendMutex) = false;   // between a begin and its end
  int64_t lastVoiceMs GUARDED_BY(sendMutex) = 0;  // the local call's latest header or burst
  const Clock clock;
  StatusBoard* const board;  // null: the drops are counted nowhere
};
