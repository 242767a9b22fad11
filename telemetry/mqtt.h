// Minimal MQTT 3.1 client ("MQIsdp") over one TCP connection, used to publish the
// daemon's log lines. Callers only queue entries (publish, subscribe) and return
// at once; once connected, the connection thread is the only thread that sends or
// receives on the broker socket, and the keep-alive thread only watches it for
// incoming data. The client prints its own messages on standard output and
// standard error and never writes through the logger, so the logger may call
// publish while holding its own lock. connect, subscribe and disconnect belong to
// the owning thread (start-up and teardown); publish is safe from any thread.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "local/queue.h"
#include "telemetry/publish.h"

// The state of one broker connection. Created by MQTT::mqtt_connect, released by
// MQTT::mqtt_disconnect; used by one thread at a time.
struct mqtt_broker_handle {
  int sock;                       // TCP socket; -1 when there is none (never given one, or closed)
  struct sockaddr_in serverAddr;  // IPv4 address and port (network byte order) of the broker
  uint16_t port;                  // broker port, host byte order
  char hostname[80];              // host name or address text, NUL-terminated
  char clientId[24];              // client identifier, NUL-terminated (at most 23 characters)
  uint8_t connected;              // 1 once the broker accepted the connection
  uint16_t lastMessageId;         // identifier of the last QoS 1 or 2 publication
};

class MQTT {
 public:
  // Waits at start-up: the TCP connect and the CONNACK each give up after this.
  static constexpr int kConnectTimeoutMs = 10000;
  // Every later receive (and send) on the connection gives up after this.
  static constexpr int kReceiveTimeoutMs = 30000;
  // disconnect lets the connection thread send what was queued before it for
  // this long, then cuts the connection so that the thread ends at once.
  static constexpr int kFlushGraceMs = 300;

  MQTT();
  ~MQTT();
  MQTT(const MQTT&) = delete;
  MQTT& operator=(const MQTT&) = delete;

  // Connects (TCP, CONNECT, CONNACK, blocking and bounded) and starts both threads.
  // Returns 1 when connected, 0 on failure (nothing is left behind).
  int connect(const char* clientId, const char* host, unsigned int port);
  // Stops and joins both threads, sends DISCONNECT, closes and releases the
  // connection, and drops entries still queued. Always 0; harmless when idle.
  int disconnect();
  // Queues the entry and returns at once; the client owns it from here on.
  int publish(Publish* entry);
  // Queues a subscription: 1 queued, 0 not connected.
  int subscribe(const char* topic, QoS qos);

  // Thread entry points: the argument is the MQTT object.
  static void* serviceMQTTConnection(void* object);
  static void* serviceMQTTKeepAlive(void* object);

  // Packet layer. Each operation touches only the handle it is given.
  static mqtt_broker_handle* mqtt_connect(const char* clientId, const char* host, unsigned int port);
  static void mqtt_disconnect(mqtt_broker_handle* handle);
  static int mqtt_subscribe(mqtt_broker_handle* handle, const char* topic, QoS qos);
  static int mqtt_publish(mqtt_broker_handle* handle, const char* topic, const char* message, QoS qos);
  static int mqtt_pingreq(mqtt_broker_handle* handle);
  // Reads packets until one of the expected type arrives: 1 success, 0 failure.
  // A receive error ends the process with status 0.
  static int serviceSocket(mqtt_broker_handle* handle, int expectedType);
  static int SetSocketTimeout(int sock, int milliseconds);

  // What a receive error during a wait does: by default flush standard output
  // and end the process at once with the status (0), without the exit handlers,
  // since other threads may be logging. Tests put a recorder in its place; when
  // it returns, the wait reports failure. nullptr restores the default.
  using ExitFunction = void (*)(int status);
  static void setExitFunction(ExitFunction function);

 private:
  struct HandleRelease {
    void operator()(mqtt_broker_handle* handle) const { mqtt_disconnect(handle); }
  };

  void _serviceMQTTConnection();
  void _serviceMQTTKeepAlive();
  void act(mqtt_broker_handle* handle, const Publish& entry);
  void queuePing();
  bool pauseMs(int milliseconds);  // false when woken to stop
  void dropQueued();               // only while no connection thread runs

  // Written by connect and disconnect while no client thread runs; read by the
  // connection thread and by subscribe.
  std::unique_ptr<mqtt_broker_handle, HandleRelease> brokerHandle;
  // Entries for the connection thread; a null pointer tells it to end.
  Queue<Publish*> publishQueue;
  pthread_t connectionThread{};
  pthread_t keepAliveThread{};
  std::atomic<bool> stopped{true};

  // Owning thread only: which threads must be joined.
  bool connectionRunning = false;
  bool keepAliveRunning = false;
  int wakeFd = -1;   // eventfd, written once by disconnect to wake the keep-alive thread
  int watchFd = -1;  // duplicate of the broker socket: the keep-alive thread's view of it

  std::atomic<bool> linkClosed{false};  // the connection thread gave up the socket
  std::atomic<bool> pingQueued{false};  // a keep-alive ping waits in the queue

  std::mutex doneMutex;
  std::condition_variable doneCondition;
  bool connectionDone = false;  // guarded by doneMutex
};
