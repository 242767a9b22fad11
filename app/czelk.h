// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge object: owns the components of a running daemon (BridgeComponents)
// and the two worker threads, and runs the three roads between them: the local
// link receiver, the dispatcher and the network service. main constructs exactly one; the constructor starts the receiver and dispatcher
// threads and then serves the network on the calling thread until the daemon is
// done. Threads: the main (network) thread alone waits on, receives from and
// reconnects the Rewind client; the dispatcher only sends through it and hands
// reconnects to the network thread; the signal thread calls exitIfRunning.
#pragma once

#include <pthread.h>

#include <atomic>

#include "app/bridge_components.h"
#include "base/mutex.h"
#include "base/wake_pipe.h"

class StatusBoard;
class SystemdNotifier;
struct Settings_t;
struct RewindData;

class CZELK {
 public:
  // Runs the daemon: returns only when the network service has ended (isDone).
  // The board and the notifier are borrowed and outlive the bridge.
  CZELK(Settings_t* settings, StatusBoard& board, SystemdNotifier& notifier);
  // Wakes and joins the worker threads, then the components go.
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

 private:
  int _serviceTlvConnection();
  int _processTlvQueue();
  void serviceODMRConnection(Settings_t* settings);

  // Stops the worker threads (wake, then join) so nothing waits on what is destroyed.
  void stopWorkers();

  std::atomic<bool> doneFlag{false};
  BridgeComponents components;  // after doneFlag, which it borrows
  WakePipe stopPipe;            // wakes the receiver to stop
  pthread_t serviceTlvThread{};
  pthread_t processTlvThread{};
  bool receiverStarted = false;
  bool dispatcherStarted = false;
  // Held by exitApp until the process ends, so the destructor never runs under it.
  Mutex exitMutex;
};

// Set once the bridge's components exist; the signal thread reads it.
extern std::atomic<CZELK*> g_zelk;
