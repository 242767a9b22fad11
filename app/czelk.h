// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge object: owns every component of a running daemon (the TLV queue, the
// talker alias, the subscriber database, the local endpoint, the Rewind client and
// the two worker threads) and the little state both directions of traffic share.
// main constructs exactly one; the constructor starts the receiver and dispatcher
// threads and then serves the network on the calling thread until the daemon is
// done. Threads: the main (network) thread alone waits on, receives from and
// reconnects the Rewind client; the dispatcher only sends through it and hands
// reconnects to the network thread; the signal thread calls exitIfRunning.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "local/queue.h"
#include "network/link_watch.h"
#include "network/talker_alias.h"

struct Settings_t;
struct RewindData;
class TLV_CLASS;
class CUDP;
class ODMRTP_CLASS;
class Subscriber;

class CZELK {
 public:
  // Runs the daemon: returns only when the network service has ended (isDone).
  explicit CZELK(Settings_t* settings);
  // Creates the components only: no worker thread, no network service. For tests,
  // fuzzers and benchmarks that drive the handlers directly.
  struct ComponentsOnly {};
  CZELK(Settings_t* settings, ComponentsOnly);
  // Wakes and joins the worker threads; the components live until the process ends.
  ~CZELK();
  CZELK(const CZELK&) = delete;
  CZELK& operator=(const CZELK&) = delete;

  bool isDone() const { return doneFlag.load(); }
  // Sends the local partner a TAG_EVENT message holding {"topic":..,"message":..}.
  void sendDMREvent(const char* topic, const char* message);
  // Cancels the subscription, closes the Rewind session, waits 2 seconds and ends
  // the process at once with the status.
  [[noreturn]] void exitApp(int status);
  // The signal thread's way in: exitApp on the bridge while one exists, and the
  // bridge is not destroyed meanwhile; returns only when there is none.
  static void exitIfRunning(int status);
  static const char* getAppName();

  // Thread entries: each calls the private operation of the same name.
  static void* serviceTlvConnection(void* object);
  static void* processTlvQueue(void* object);

  // Handles one packet of `length` bytes from the Rewind server (network thread).
  void processODMRMessage(RewindData* packet, int length);
  // Handles one message from the partner as the dispatcher does; takes no ownership.
  void handleTlv(TLV_CLASS* message);
  // Ends the network call in progress when no voice packet came for 1.5 s
  // (network thread; the connection service calls it after every wait).
  void endQuietNetworkCall();
  // Substitutes the monotonic clock of the network side's timing (lost server,
  // keep-alives, the call watchdog), so tests need not wait. Before any thread runs.
  void setClock(MonotonicClock clock);

 private:
  friend struct CZELKTestAccess;

  int _serviceTlvConnection();
  int _processTlvQueue();
  void serviceODMRConnection(Settings_t* settings);

  // Dispatcher side of the handlers.
  void createComponents();
  void beginLocalTransmission(const unsigned char* value, unsigned int length);
  void setInfo(const unsigned char* value, unsigned int length);
  void remoteCommand(char* text);
  int requestReconnect(const char* host, const char* port, const char* password, unsigned int talkGroup);

  // Network-thread side of a reconnect handed over by the dispatcher: false when
  // none was pending, else true with *succeeded telling the login's result.
  bool serveReconnectRequest(bool* succeeded = nullptr);
  bool drainWake();

  // Stops the worker threads (wake, then join) so nothing waits on what is destroyed.
  void stopWorkers();

  // Fields shared by both directions of traffic.
  std::atomic<bool> doneFlag{false};
  int32_t txFrameCount = 0;  // dispatcher only
  int32_t callType = 0;      // dispatcher only: 0 group, 3 private
  LinkWatch link;            // network thread only: lastPingTime and the keep-alive cadence
  std::atomic<uint32_t> currentTG{0};
  Queue<TLV_CLASS*> tlvQueue;
  pthread_t serviceTlvThread{};
  pthread_t processTlvThread{};
  bool receiverStarted = false;
  bool dispatcherStarted = false;
  std::unique_ptr<CUDP> localLink;
  std::unique_ptr<ODMRTP_CLASS> rewindClient;
  TalkerAlias alias;
  std::unique_ptr<Subscriber> subscribers;
  Settings_t* settings;

  // Network-call state of the message handler (network thread only).
  int32_t frameCount = 0;
  int32_t taCount = 0;
  bool callIdentified = false;  // the call in progress began with a header: these are its fields
  uint32_t callSource = 0, callDestination = 0;
  unsigned char callKind = 0;
  int64_t lastVoicePacket = 0;  // monotonic milliseconds of the call's latest voice packet
  void beginNetworkCall(const unsigned char* header);
  void endNetworkCall();
  int64_t msUntilNetworkCallTimeout() const;  // -1 when no call is in progress

  // Wakes the network thread (reconnect requests) and the receiver (stop).
  int wakePipe[2] = {-1, -1};
  int stopPipe[2] = {-1, -1};

  struct ReconnectRequest {
    std::string host, port, password;
    unsigned int talkGroup = 0;
    bool pending = false;
    bool done = false;
    int result = -1;
  };
  // Held by exitApp until the process ends, so the destructor never runs under it.
  Mutex exitMutex;
  Mutex reconnectMutex;
  CondVar reconnectDone;
  ReconnectRequest reconnect GUARDED_BY(reconnectMutex);
};

// Set once the bridge's components exist; the signal thread reads it.
extern std::atomic<CZELK*> g_zelk;
