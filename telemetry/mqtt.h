// SPDX-License-Identifier: GPL-2.0-or-later
// Minimal MQTT 3.1 client ("MQIsdp") over one TCP connection, used to publish the
// daemon's log lines and, when asked, its status. Callers only queue entries (publish, subscribe) and return
// at once; the queue is bounded, so a broker that is away or slow costs a fixed
// amount of memory. Once started, the connection thread is the only thread that
// sends or receives on the broker socket; when the connection is lost, or the
// first connect failed, it connects again in the background with a growing pause
// and subscribes again to every topic asked for. The keep-alive thread only
// watches the socket for incoming data. The client prints its own messages on
// standard output and standard error and never writes through the logger; its
// link observer (called on the connection thread, with no lock of the client
// held) may. connect, subscribe, setLinkObserver and disconnect belong to the
// owning thread (start-up and teardown); publish and isConnected are safe from
// any thread. The packets themselves are built and read by MqttCodec.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/unique_fd.h"
#include "telemetry/backoff.h"
#include "telemetry/mqtt_codec.h"
#include "telemetry/publish.h"
#include "telemetry/publish_queue.h"

// The state of one broker connection. Created by MQTT::mqtt_connect, released by
// MQTT::mqtt_disconnect; used by one thread at a time, which alone uses the socket.
struct mqtt_broker_handle {
  UniqueFd sock;                  // TCP socket; empty when there is none (never given one, or closed)
  Clock clock;                    // every time-out on this connection is measured on it
  uint16_t port;                  // broker port, host byte order
  char hostname[80];              // host name or address text, NUL-terminated
  char clientId[24];              // client identifier, NUL-terminated (at most 23 characters)
  uint8_t connected;              // 1 once the broker accepted the connection
  uint16_t lastMessageId;         // identifier of the last QoS 1 or 2 publication
};

class MQTT {
 public:
  // The TCP connect and the CONNACK each give up after this.
  static constexpr int kConnectTimeoutMs = 10000;
  // Every later receive (the SUBACK, the PINGRESP, a PUBACK) gives up after this;
  // the connection is then closed and made again.
  static constexpr int kAnswerTimeoutMs = 10000;
  // A send that cannot move its packet for this long closes the connection.
  static constexpr int kSendTimeoutMs = 30000;
  // disconnect lets the connection thread send what was queued before it for
  // this long, then cuts the connection so that the thread ends at once.
  static constexpr int kFlushGraceMs = 300;
  // Publications kept while the broker is away or slow: the newest ones.
  static constexpr size_t kQueueBound = 1000;

  // What the connection thread reports to the link observer: the connection was
  // lost; a connection was made in the background; publications were dropped
  // while the broker was away or slow (count), reported once the backlog is out.
  enum class LinkEvent { Lost, Connected, Dropped };
  using LinkObserver = std::function<void(LinkEvent event, unsigned long count)>;

  // Every time-out, pause, back-off and keep-alive pass of the client and its
  // connections runs on the clock's monotonic time.
  explicit MQTT(Clock clock = Clock());
  ~MQTT();
  MQTT(const MQTT&) = delete;
  MQTT& operator=(const MQTT&) = delete;

  // Connects (TCP, CONNECT, CONNACK, blocking and bounded) and starts both threads.
  // Returns 1 when connected, 0 on failure. After a failure that a later attempt
  // can mend (anything but an identifier or host over the limits) the threads
  // run all the same and keep trying in the background. The Will counts among
  // the limits: its topic and message are each at most 65535 bytes.
  int connect(const char* clientId, const char* host, unsigned int port);
  // Stops and joins both threads, sends DISCONNECT, closes and releases the
  // connection, and drops entries still queued. Always 0; harmless when idle.
  int disconnect();
  // Queues the entry and returns at once; the client owns it from here on. An
  // entry given while the client does not run is destroyed at once.
  int publish(Publish* entry);
  // Queues a subscription, made again on every later connection: 1 queued,
  // 0 when the client does not run.
  int subscribe(const char* topic, QoS qos);
  // True while a connection accepted by the broker is held.
  bool isConnected() const { return linkUp.load(); }
  // Set before connect; see LinkEvent.
  void setLinkObserver(LinkObserver observer) { linkObserver = std::move(observer); }
  // Set before connect: every later CONNECT carries the Will, and a disconnect
  // publishes it first (as the broker would have), since a clean DISCONNECT makes
  // the broker discard it.
  void setWill(const MqttWill& will) { connectionWill = will; }
  // A retained publication that stands for the topic's current state: queued now
  // like publish (when the client runs), and the newest message of each such topic
  // is published again at once after every later connection, ahead of the queue.
  // May be given before connect: the first connection then publishes it.
  void publishState(const char* topic, const char* message) EXCLUDES(stateMutex);

  // Thread entry points: the argument is the MQTT object.
  static void* serviceMQTTConnection(void* object);
  static void* serviceMQTTKeepAlive(void* object);

  // Packet layer: the packets of MqttCodec on the handle's socket. Each operation
  // touches only the handle it is given. A Will (null or an empty topic: none)
  // goes into the CONNECT; the handle keeps the clock for all its time-outs.
  static mqtt_broker_handle* mqtt_connect(const char* clientId, const char* host, unsigned int port,
                                          const MqttWill* will = nullptr, Clock clock = Clock());
  static void mqtt_disconnect(mqtt_broker_handle* handle);
  static int mqtt_subscribe(mqtt_broker_handle* handle, const char* topic, QoS qos);
  static int mqtt_publish(mqtt_broker_handle* handle, const char* topic, const char* message, QoS qos,
                          bool retain = false);
  static int mqtt_pingreq(mqtt_broker_handle* handle);
  // Reads packets until one of the expected type arrives: 1 success, 0 failure.
  // A receive error or end of stream closes the connection (sock becomes empty).
  static int serviceSocket(mqtt_broker_handle* handle, int expectedType);
  static int SetSocketTimeout(int sock, int milliseconds);

 private:
  struct HandleRelease {
    void operator()(mqtt_broker_handle* handle) const { mqtt_disconnect(handle); }
  };

  void _serviceMQTTConnection();
  void _serviceMQTTKeepAlive();
  void act(mqtt_broker_handle* handle, const Publish& entry);
  bool reconnect();                                                 // false when stopped meanwhile
  bool installLink(mqtt_broker_handle* handle) EXCLUDES(linkMutex);  // false when stopped meanwhile
  void loseLink() EXCLUDES(linkMutex);
  void report(LinkEvent event, unsigned long count);
  void queuePing();
  void sendStates() EXCLUDES(stateMutex);  // connection thread, or connect before the threads
  bool pauseMs(long long milliseconds);  // false when woken to stop
  void stopThreads() EXCLUDES(doneMutex, linkMutex);

  const Clock clock;  // read by both threads; a copy of the creator's
  // Written by connect and disconnect while no client thread runs, otherwise
  // used by the connection thread alone.
  std::unique_ptr<mqtt_broker_handle, HandleRelease> brokerHandle;
  std::string clientIdText;
  std::string hostText;
  unsigned int portNumber = 0;
  Backoff backoff;
  // Connection thread only: topics to subscribe on every connection.
  std::vector<std::pair<std::string, QoS>> subscriptions;
  MqttWill connectionWill;  // owning thread before connect, then read only

  // The newest message of each state topic (publishState), in the order first given.
  Mutex stateMutex;
  std::vector<std::pair<std::string, std::string>> states GUARDED_BY(stateMutex);

  // Entries for the connection thread; disconnect stops it to end the thread.
  PublishQueue publishQueue{kQueueBound};
  pthread_t connectionThread{};
  pthread_t keepAliveThread{};
  std::atomic<bool> stopped{true};
  std::atomic<bool> linkUp{false};
  LinkObserver linkObserver;

  // Owning thread only: which threads must be joined.
  bool connectionRunning = false;
  bool keepAliveRunning = false;
  UniqueFd wakeFd;  // eventfd, written once by disconnect to wake both threads

  // The keep-alive thread's view of the current connection, and disconnect's
  // way to cut it: a duplicate of the broker socket, and a count of connections
  // that tells the keep-alive thread the socket it watched was replaced.
  Mutex linkMutex;
  UniqueFd watchFd GUARDED_BY(linkMutex);
  unsigned long linkGeneration GUARDED_BY(linkMutex) = 0;

  std::atomic<bool> pingQueued{false};  // a keep-alive ping waits in the queue

  Mutex doneMutex;
  CondVar doneCondition;
  bool connectionDone GUARDED_BY(doneMutex) = false;
};
