// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/mqtt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/host_address.h"
#include "base/thread_entry.h"
#include "telemetry/control_escape.h"
#include "telemetry/mqtt_socket.h"

namespace {

// The client's own messages go straight out, whole, even when standard output is
// a file or a pipe.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

void sayLine(const char* text) {
  puts(text);
  fflush(stdout);
}

void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fflush(stderr);
}

// Gives up the socket: no later operation uses the descriptor.
void closeLink(mqtt_broker_handle* handle) {
  // The keep-alive thread holds a duplicate of the descriptor; shutting the
  // socket down ends the connection itself, not only this descriptor.
  if (handle->sock.valid()) shutdown(handle->sock.get(), SHUT_RDWR);
  handle->sock.reset();
  handle->connected = 0;
}

// One send call for the whole packet. A send that moved part of the packet, or
// nothing within the send time-out, leaves the stream unusable: the connection
// is closed so that no broken packet is followed by another. A send that failed
// outright (the broker closed or reset the connection) leaves the socket to the
// next wait, which reads the end of the stream.
bool sendPacket(mqtt_broker_handle* handle, const MqttPacket& packet) {
  if (!handle->sock.valid()) return false;
  ssize_t sent = MqttSocket::send(handle->sock.get(), packet.data(), packet.size());
  if (sent == static_cast<ssize_t>(packet.size())) return true;
  if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
    sayLine("\nSocket send incomplete, connection closed");
    closeLink(handle);
  }
  return false;
}

// Reads exactly length bytes. Returns true when they arrived. End of stream, or
// a receive error (a reset, or the receive time-out): reports it, closes the
// socket and returns false.
bool receiveExactly(mqtt_broker_handle* handle, uint8_t* data, size_t length) {
  if (!handle->sock.valid()) return false;
  switch (MqttSocket::receiveExactly(handle->clock, handle->sock.get(), data, length)) {
    case MqttSocket::Read::Complete:
      return true;
    case MqttSocket::Read::Failed: {
      int error = errno;
      say("\nSocket recv returned %ld, errno %d %s\n", -1L, error, strerror(error));
      break;
    }
    case MqttSocket::Read::EndOfStream:
      sayLine("\nSocket EOF");
      break;
  }
  closeLink(handle);
  return false;
}

// Reads and discards length bytes through the buffer, of kPieceSize bytes.
bool skipBytes(mqtt_broker_handle* handle, uint8_t* buffer, size_t length) {
  while (length > 0) {
    size_t piece = length < MqttCodec::kPieceSize ? length : MqttCodec::kPieceSize;
    if (!receiveExactly(handle, buffer, piece)) return false;
    length -= piece;
  }
  return true;
}

void endLine() {
  fputc('\n', stdout);
  fflush(stdout);
}

}  // namespace

// ---- Packet layer -------------------------------------------------------

int MQTT::SetSocketTimeout(int sock, int milliseconds) {
  return MqttSocket::setTimeout(sock, SO_RCVTIMEO, milliseconds);
}

namespace {

bool withinLimits(const char* clientId, const char* host, unsigned int port, const MqttWill& will) {
  return strlen(clientId) + 1 <= sizeof(mqtt_broker_handle::clientId) &&
         strlen(host) + 1 <= sizeof(mqtt_broker_handle::hostname) && port <= 65535 &&
         will.topic.size() <= MqttCodec::kLongestField && will.message.size() <= MqttCodec::kLongestField;
}

// TCP connect, CONNECT and CONNACK, each bounded; a signal on the cancel
// descriptor (-1: none) ends the attempt at once.
mqtt_broker_handle* openConnection(const char* clientId, const char* host, unsigned int port, int cancelFd,
                                   const MqttWill* will, const Clock& clock) {
  size_t idLength = strlen(clientId);
  if (will != nullptr && will->topic.empty()) will = nullptr;
  if (!withinLimits(clientId, host, port, will != nullptr ? *will : MqttWill())) {
    complain("MQTT: failed to connect: client or server exceed limits\n");
    return nullptr;
  }

  std::unique_ptr<mqtt_broker_handle> handle(new mqtt_broker_handle());
  handle->clock = clock;
  handle->port = static_cast<uint16_t>(port);
  memcpy(handle->hostname, host, strlen(host) + 1);
  memcpy(handle->clientId, clientId, idLength + 1);
  handle->connected = 0;
  UniqueFd sock(MqttSocket::connect(clock, host, handle->port, MQTT::kConnectTimeoutMs, cancelFd));
  if (!sock.valid()) {
    complain("MQTT: failed to connect: to server socket (%d)\n", -1);
    return nullptr;
  }
  // From here the handle owns the socket: mqtt_disconnect closes it.
  handle->sock = std::move(sock);
  // Bounded from the start: a broker that accepts the connection and never
  // answers cannot hold the start-up or the connection thread.
  MQTT::SetSocketTimeout(handle->sock.get(), MQTT::kAnswerTimeoutMs);
  MqttSocket::setTimeout(handle->sock.get(), SO_SNDTIMEO, MQTT::kSendTimeoutMs);

  MqttPacket connect = MqttCodec::connect(clientId, will);
  if (!sendPacket(handle.get(), connect)) {
    MQTT::mqtt_disconnect(handle.release());
    return nullptr;
  }

  uint8_t answer[MqttCodec::kConnackSize] = {0, 0, 0, 0};
  size_t received =
      MqttSocket::receiveWithin(clock, handle->sock.get(), answer, sizeof(answer), MQTT::kConnectTimeoutMs, cancelFd);
  if (received != sizeof(answer) || !MqttCodec::connackAccepted(answer)) {
    complain("MQTT: failed to connect with error: %d\n", answer[3]);
    MQTT::mqtt_disconnect(handle.release());
    return nullptr;
  }

  char padded[8];
  snprintf(padded, sizeof(padded), "%4d", static_cast<int>(port));
  say("Connected to MQTT Server at %s\n", hostWithPort(host, padded).c_str());
  handle->connected = 1;
  return handle.release();
}

}  // namespace

mqtt_broker_handle* MQTT::mqtt_connect(const char* clientId, const char* host, unsigned int port,
                                       const MqttWill* will, Clock clock) {
  return openConnection(clientId, host, port, -1, will, clock);
}

void MQTT::mqtt_disconnect(mqtt_broker_handle* handle) {
  if (handle == nullptr) return;
  if (handle->sock.valid()) {
    const MqttPacket kDisconnect = MqttCodec::disconnect();
    if (MqttSocket::send(handle->sock.get(), kDisconnect.data(), kDisconnect.size()) !=
        static_cast<ssize_t>(kDisconnect.size())) {
      sayLine("failed to disconnect");
    }
    handle->sock.reset();
  }
  delete handle;
}

int MQTT::mqtt_subscribe(mqtt_broker_handle* handle, const char* topic, QoS qos) {
  if (handle == nullptr || handle->connected != 1 || !handle->sock.valid()) return -1;
  if (strlen(topic) > MqttCodec::kLongestField) return -1;
  if (!sendPacket(handle, MqttCodec::subscribe(topic, qos))) {
    sayLine("failed to send subscribe message");
    return -1;
  }
  if (serviceSocket(handle, MqttCodec::kSuback) == 0) {
    sayLine("failed to subscribe");
    return -1;
  }
  say("Subscribed to MQTT Service %s with QoS %d\n", topic, static_cast<int>(qos));
  return 1;
}

int MQTT::mqtt_publish(mqtt_broker_handle* handle, const char* topic, const char* message, QoS qos, bool retain) {
  if (handle == nullptr || handle->connected != 1 || !handle->sock.valid() || qos > QOS2) return -1;
  if (strlen(topic) > MqttCodec::kLongestField) return -1;
  if (qos == QOS0) return sendPacket(handle, MqttCodec::publish(topic, message, qos, retain, 0)) ? 1 : -1;

  // Identifier 0 is not a valid message identifier: the count wraps to 1.
  handle->lastMessageId = static_cast<uint16_t>(handle->lastMessageId + 1);
  if (handle->lastMessageId == 0) handle->lastMessageId = 1;
  if (!sendPacket(handle, MqttCodec::publish(topic, message, qos, retain, handle->lastMessageId))) return -1;
  if (qos == QOS2) return 1;
  if (serviceSocket(handle, MqttCodec::kPuback) == 0) {
    sayLine("failed to publish at QoS1");
    return -1;
  }
  say("Published to MQTT Service %s with QoS1\n", topic);
  return 1;
}

int MQTT::mqtt_pingreq(mqtt_broker_handle* handle) {
  if (handle == nullptr) return -1;
  const MqttPacket kPingreq = MqttCodec::pingreq();
  if (!sendPacket(handle, kPingreq)) sayLine("failed to pingreq");
  if (serviceSocket(handle, MqttCodec::kPingresp) == 0) {
    sayLine("did not get ping response");
    return -1;
  }
  return 1;
}

int MQTT::serviceSocket(mqtt_broker_handle* handle, int expectedType) {
  if (handle == nullptr || !handle->sock.valid()) return 0;
  MqttCodec reader;
  uint8_t piece[MqttCodec::kPieceSize];
  for (;;) {
    size_t wanted = reader.wanted();
    if (wanted > 0 && !receiveExactly(handle, piece, wanted)) {
      if (reader.inPayload()) endLine();  // what was printed of the payload ends its line
      return 0;
    }
    switch (reader.take(piece)) {
      case MqttCodec::Event::More:
        break;
      case MqttCodec::Event::Malformed:
        sayLine("\nSocket stream malformed, connection closed");
        closeLink(handle);
        return 0;
      case MqttCodec::Event::Acknowledge:
        if (!sendPacket(handle, MqttCodec::puback(reader.id()))) {
          sayLine("failed to PUBACK");
          if (handle->sock.valid()) skipBytes(handle, piece, reader.unread());
          return 0;
        }
        break;
      case MqttCodec::Event::Payload: {
        // The payload is printed as it comes, one piece at a time.
        std::string shown = escapeControls(reinterpret_cast<const char*>(piece), wanted);  // outside text
        fwrite(shown.data(), 1, shown.size(), stdout);
        break;
      }
      case MqttCodec::Event::PublicationEnd:
        endLine();
        if (reader.type() == expectedType) return 1;
        break;
      case MqttCodec::Event::Acknowledgement: {
        // Either acknowledgement ends any wait with its own verdict.
        uint16_t awaited = reader.type() == MqttCodec::kPuback ? handle->lastMessageId : MqttCodec::kSubscribeId;
        return reader.hasId() && reader.id() == awaited ? 1 : 0;
      }
      case MqttCodec::Event::Packet:
        if (reader.type() == expectedType) return 1;
        break;
    }
  }
}

// ---- Client object ------------------------------------------------------

MQTT::MQTT(Clock clock) : clock(clock) {}

MQTT::~MQTT() {
  disconnect();
  publishQueue.clear();
}

int MQTT::connect(const char* clientId, const char* host, unsigned int port) {
  disconnect();
  publishQueue.reopen();
  wakeFd.reset(eventfd(0, EFD_CLOEXEC));
  if (!wakeFd.valid()) {
    complain("MQTT: failed to connect: could not create socket\n");
    return 0;
  }
  clientIdText = clientId;
  hostText = host;
  portNumber = port;
  backoff = Backoff();
  subscriptions.clear();
  {
    MutexLock lock(doneMutex);
    connectionDone = false;
  }

  mqtt_broker_handle* handle = openConnection(clientId, host, port, -1, &connectionWill, clock);
  if (handle == nullptr && !withinLimits(clientId, host, port, connectionWill)) {
    wakeFd.reset();
    return 0;  // no later attempt can do better
  }
  pingQueued.store(false);
  stopped.store(false);
  bool linked = handle != nullptr && installLink(handle);
  if (linked) {
    backoff.connected(clock.monotonicMs());
    sendStates();  // no client thread runs yet: the socket is this thread's
  }

  // Without either thread the client cannot work: it does not run at all.
  if (pthread_create(&connectionThread, nullptr, serviceMQTTConnection, this) == 0) {
    connectionRunning = true;
  } else {
    sayLine("failed to serviceMQTTConnection");
  }
  if (connectionRunning) {
    if (pthread_create(&keepAliveThread, nullptr, serviceMQTTKeepAlive, this) == 0) {
      keepAliveRunning = true;
    } else {
      sayLine("failed to serviceMQTTKeepAlive");
    }
  }
  if (!keepAliveRunning) {
    disconnect();
    return 0;
  }
  return linked ? 1 : 0;
}

int MQTT::disconnect() {
  bool wasRunning = !stopped.exchange(true);
  // The broker drops the Will of a connection that says goodbye: it goes out
  // here instead, behind what was queued.
  if (wasRunning && !connectionWill.topic.empty()) {
    publishQueue.push(std::unique_ptr<Publish>(new Publish(connectionWill.topic.c_str(),
                                                           connectionWill.message.c_str(), QOS0,
                                                           connectionWill.retain)));
  }
  stopThreads();
  brokerHandle.reset();  // DISCONNECT when the socket is still open, close, release
  linkUp.store(false);
  {
    MutexLock lock(linkMutex);
    watchFd.reset();
  }
  wakeFd.reset();
  publishQueue.clear();
  return 0;
}

void MQTT::stopThreads() {
  if (wakeFd.valid()) {
    uint64_t one = 1;
    if (write(wakeFd.get(), &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
      // Cannot happen for a fresh eventfd; the threads then end within a pass.
    }
  }
  if (connectionRunning) {
    // The thread sends what was queued before the stop, then ends. A broker
    // that holds a send or a wait is cut off after the grace period.
    publishQueue.stop();
    MutexLock lock(doneMutex);
    if (!doneCondition.waitFor(doneMutex, std::chrono::milliseconds(kFlushGraceMs),
                               [this]() REQUIRES(doneMutex) { return connectionDone; })) {
      MutexLock link(linkMutex);
      if (watchFd.valid()) shutdown(watchFd.get(), SHUT_RDWR);
    }
    lock.unlock();
    pthread_join(connectionThread, nullptr);
    connectionRunning = false;
  }
  if (keepAliveRunning) {
    pthread_join(keepAliveThread, nullptr);
    keepAliveRunning = false;
  }
}

int MQTT::publish(Publish* entry) {
  std::unique_ptr<Publish> owned(entry);
  if (owned != nullptr && !stopped.load()) publishQueue.push(std::move(owned));
  return 0;
}

void MQTT::publishState(const char* topic, const char* message) {
  if (topic == nullptr || message == nullptr) return;
  // Stored and queued under one lock, so that the queue holds the states of a
  // topic in the order in which they were stored and the last one sent is the newest.
  MutexLock lock(stateMutex);
  bool known = false;
  for (auto& state : states) {
    if (state.first != topic) continue;
    state.second = message;
    known = true;
  }
  if (!known) states.emplace_back(topic, message);
  if (!stopped.load()) publishQueue.push(std::unique_ptr<Publish>(new Publish(topic, message, QOS0, true)));
}

void MQTT::sendStates() {
  std::vector<std::pair<std::string, std::string>> current;
  {
    MutexLock lock(stateMutex);
    current = states;
  }
  for (const auto& state : current) {
    if (brokerHandle == nullptr || !brokerHandle->sock.valid()) break;
    mqtt_publish(brokerHandle.get(), state.first.c_str(), state.second.c_str(), QOS0, true);
  }
}

int MQTT::subscribe(const char* topic, QoS qos) {
  if (stopped.load()) return 0;
  publishQueue.push(std::unique_ptr<Publish>(new Publish(topic, nullptr, qos)));
  return 1;
}

void* MQTT::serviceMQTTConnection(void* object) { return runOperation(object, &MQTT::_serviceMQTTConnection); }

void* MQTT::serviceMQTTKeepAlive(void* object) { return runOperation(object, &MQTT::_serviceMQTTKeepAlive); }

void MQTT::act(mqtt_broker_handle* handle, const Publish& entry) {
  if (entry.getTopic() == nullptr) {
    mqtt_pingreq(handle);
  } else if (entry.getMessage() == nullptr) {
    mqtt_subscribe(handle, entry.getTopic(), entry.getQos());
  } else {
    mqtt_publish(handle, entry.getTopic(), entry.getMessage(), entry.getQos(), entry.getRetain());
  }
}

void MQTT::report(LinkEvent event, unsigned long count) {
  // Nothing to tell once the owner is taking the client down.
  if (linkObserver && !stopped.load()) linkObserver(event, count);
}

bool MQTT::installLink(mqtt_broker_handle* handle) {
  UniqueFd watch(fcntl(handle->sock.get(), F_DUPFD_CLOEXEC, 0));
  {
    MutexLock lock(linkMutex);
    // disconnect sets stopped before it looks for a socket to cut: a link made
    // after that look is given up here.
    if (!watch.valid() || stopped.load()) {
      mqtt_disconnect(handle);
      return false;
    }
    watchFd = std::move(watch);
    ++linkGeneration;
  }
  brokerHandle.reset(handle);
  linkUp.store(true);
  return true;
}

void MQTT::loseLink() {
  linkUp.store(false);
  {
    MutexLock lock(linkMutex);
    watchFd.reset();
  }
  brokerHandle.reset();
  report(LinkEvent::Lost, 0);
}

bool MQTT::reconnect() {
  while (!stopped.load()) {
    if (!pauseMs(backoff.next(clock.monotonicMs()))) return false;
    mqtt_broker_handle* handle =
        openConnection(clientIdText.c_str(), hostText.c_str(), portNumber, wakeFd.get(), &connectionWill, clock);
    if (handle == nullptr) continue;
    if (!installLink(handle)) return false;
    backoff.connected(clock.monotonicMs());
    report(LinkEvent::Connected, 0);
    // Every subscription asked for so far, exactly as the first time.
    for (const auto& subscription : subscriptions) {
      if (!brokerHandle->sock.valid()) break;
      mqtt_subscribe(brokerHandle.get(), subscription.first.c_str(), subscription.second);
    }
    sendStates();
    return true;
  }
  return false;
}

void MQTT::_serviceMQTTConnection() {
  // The name is longer than the platform allows, so the thread keeps the process name.
  pthread_setname_np(pthread_self(), "serviceMQTTConnection");
  for (;;) {
    if (brokerHandle != nullptr && !brokerHandle->sock.valid()) loseLink();
    if (brokerHandle == nullptr) {
      // Entries wait in the queue (within its bound) while the broker is away.
      if (!reconnect()) break;
      continue;
    }
    unsigned long dropped = publishQueue.takeDroppedWhenIdle();
    if (dropped > 0) report(LinkEvent::Dropped, dropped);

    std::unique_ptr<Publish> entry = publishQueue.pop();
    if (entry == nullptr) break;  // stopped by disconnect, and what came before is out
    if (entry->getTopic() == nullptr) pingQueued.store(false);
    if (entry->getTopic() != nullptr && entry->getMessage() == nullptr) {
      std::pair<std::string, QoS> subscription(entry->getTopic(), entry->getQos());
      bool known = false;
      for (const auto& each : subscriptions) known = known || each.first == subscription.first;
      if (!known) subscriptions.push_back(subscription);
    }
    act(brokerHandle.get(), *entry);
  }
  {
    MutexLock lock(doneMutex);
    connectionDone = true;
  }
  doneCondition.notifyAll();
}

void MQTT::queuePing() {
  if (pingQueued.exchange(true)) return;  // one is on its way already
  publishQueue.push(std::unique_ptr<Publish>(new Publish(nullptr, nullptr, QOS0)));
}

bool MQTT::pauseMs(long long milliseconds) {
  return MqttSocket::waitForData(clock, -1, wakeFd.get(), milliseconds) != MqttSocket::Readiness::Woken;
}

void MQTT::_serviceMQTTKeepAlive() {
  pthread_setname_np(pthread_self(), "serviceMQTTKeepAlive");
  if (!pauseMs(5000)) return;
  bool unreadBefore = false;
  unsigned long watched = 0;  // the connection the last pass looked at
  while (!stopped.load()) {
    // A duplicate of its own, so that the connection thread may replace the
    // socket while this pass waits on it.
    UniqueFd watch;
    unsigned long generation = 0;
    {
      MutexLock lock(linkMutex);
      if (watchFd.valid()) watch.reset(fcntl(watchFd.get(), F_DUPFD_CLOEXEC, 0));
      generation = linkGeneration;
    }
    if (!watch.valid() || generation != watched) unreadBefore = false;
    watched = generation;
    if (watch.valid()) {
      MqttSocket::Readiness readiness = MqttSocket::waitForData(clock, watch.get(), wakeFd.get(), 30000);
      if (readiness == MqttSocket::Readiness::Woken) return;
      bool current = false;
      {
        MutexLock lock(linkMutex);
        current = watchFd.valid() && generation == linkGeneration;
      }
      if (!current) {
        unreadBefore = false;  // the connection changed meanwhile: look again
      } else if (readiness == MqttSocket::Readiness::TimedOut) {
        // The broker has been silent for 30 seconds.
        queuePing();
        unreadBefore = false;
      } else {
        MqttSocket::Waiting waiting = MqttSocket::peek(watch.get());
        if (waiting == MqttSocket::Waiting::Data) {
          // Data that waits unread for a whole pass is read by no wait: a ping
          // makes the connection thread read it (and print a publication) before
          // the broker's keep-alive runs out.
          if (unreadBefore) queuePing();
          unreadBefore = !unreadBefore;
        } else if (waiting == MqttSocket::Waiting::EndOrError) {
          // The broker closed or reset the connection while nothing waited on it.
          // Peeking took any pending error, so the ping's wait finds the end of
          // the stream and the connection thread gives up the socket.
          queuePing();
          unreadBefore = false;
        } else {
          unreadBefore = false;  // a wait read the data meanwhile
        }
      }
    }
    if (!pauseMs(1000)) return;
  }
}
