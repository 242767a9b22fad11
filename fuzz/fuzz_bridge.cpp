// SPDX-License-Identifier: GPL-2.0-or-later
#include "fuzz/fuzz_bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/bridge_components.h"
#include "app/settings.h"
#include "local/tlv_class.h"
#include "local/tlv_receiver.h"
#include "network/odmrtp_class.h"
#include "network/rewind_data.h"
#include "support/cudp.h"

namespace fuzzing {

bool logInToSink(ODMRTP_CLASS& client, LoopbackSink& server, struct sockaddr_storage* clientAddress,
                 socklen_t* clientLength) {
  if (server.handle() < 0) return false;
  std::thread answer([&] {
    struct pollfd fd = {server.handle(), POLLIN, 0};
    if (poll(&fd, 1, 5000) != 1) return;
    unsigned char sink[512];
    *clientLength = sizeof(*clientAddress);
    if (recvfrom(server.handle(), sink, sizeof(sink), 0, reinterpret_cast<sockaddr*>(clientAddress),
                 clientLength) < 0) {
      return;
    }
    uint8_t reply[REWIND_HEADER_SIZE];
    writeRewindHeader(reply, REWIND_TYPE_SUBSCRIPTION, REWIND_FLAG_NONE, 0, 0);
    sendto(server.handle(), reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(clientAddress), *clientLength);
  });
  int result = client.ConnectRewindClient("127.0.0.1", std::to_string(server.port()).c_str(), "fuzz", 91);
  answer.join();
  server.drain();
  return result == REWIND_SUCCESS;
}

FuzzBridge& FuzzBridge::get() {
  // Never destroyed: the stand-in thread runs until the process ends.
  static FuzzBridge* instance = new FuzzBridge();
  return *instance;
}

FuzzBridge::FuzzBridge() {
  quietLogging(true);
  static Settings_t settings{};
  resetSettings(&settings);
  free(settings.bmPort);
  settings.bmPort = strdup(std::to_string(server.port()).c_str());
  settings.txPort = static_cast<uint32_t>(partner.port());
  settings.rxPort = 0;
  free(settings.talkerAlias);
  settings.talkerAlias = strdup("%callsign %name via ZELK");

  // A few subscribers, so the lookups of network calls find some callers.
  static MemoryFile subscribers;
  static const char kTable[] = "4660,AB1CDE,Ann\n2345678,N0CALL,Bob Smith\n3106001,ZZ9ZZZ,Zed\n";
  if (subscribers.set(reinterpret_cast<const uint8_t*>(kTable), sizeof(kTable) - 1)) {
    settings.subscriberFile = strdup(subscribers.path().c_str());
  }

  bridge = new BridgeComponents(&settings, done, board, notifier);
  resetCallState();
  struct sockaddr_storage address;
  socklen_t length = 0;
  if (!logInToSink(*bridge->rewindClient, server, &address, &length)) {
    fprintf(stderr, "fuzz bridge: the client could not log in to the loopback sink\n");
    abort();
  }
  std::thread(&FuzzBridge::answerReconnects, this).detach();

  localPort = bridge->localLink->getLocalPort();
  int random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (random < 0 || read(random, markerBytes, 8) != 8 || localPort <= 0) {
    fprintf(stderr, "fuzz bridge: no local port or no random marker\n");
    abort();
  }
  close(random);
  std::thread([this] { receiveTlvMessages(*bridge->localLink, bridge->tlvQueue, stop.readFd(), done, board); }).detach();
}

bool FuzzBridge::isMarker(const TLV_CLASS& message) const {
  return message.getTag() == TAG_NOP && message.getLength() == sizeof(markerBytes) &&
         memcmp(message.getValue(), markerBytes, sizeof(markerBytes)) == 0;
}

bool FuzzBridge::receiveAndDispatch(const std::vector<Record>& datagrams) {
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(localPort));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send = [&](const uint8_t* bytes, size_t size) {
    sendto(partner.handle(), bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  };
  for (const Record& datagram : datagrams) send(datagram.bytes, datagram.size);

  ++batch;
  for (int i = 0; i < 8; ++i) markerBytes[8 + i] = static_cast<uint8_t>(batch >> (8 * i));
  uint8_t marker[2 + sizeof(markerBytes)] = {TAG_NOP, sizeof(markerBytes)};
  memcpy(marker + 2, markerBytes, sizeof(markerBytes));
  send(marker, sizeof(marker));

  // Every queued message must be, byte for byte, one of the datagrams sent, in
  // order: the receiver may drop datagrams but never invent or change one.
  size_t next = 0;
  for (;;) {
    std::unique_ptr<TLV_CLASS> message = bridge->tlvQueue.pop();
    if (message == nullptr) continue;
    if (isMarker(*message)) return true;
    while (next < datagrams.size() &&
           !(datagrams[next].size == message->getWireLength() &&
             memcmp(datagrams[next].bytes, message->getRaw(), datagrams[next].size) == 0)) {
      ++next;
    }
    if (next == datagrams.size()) return false;
    ++next;
    dispatcher->handle(message.get());
  }
}

void FuzzBridge::answerReconnects() {
  // Alternately success and failure, by the length of the password.
  auto answer = [](const ReconnectHandOver::Request& request) {
    return request.password.size() % 2 == 0 ? 0 : REWIND_ERROR_WRONG_PASSWORD;
  };
  for (;;) {
    struct pollfd fd = {bridge->reconnect.wakeFd(), POLLIN, 0};
    if (poll(&fd, 1, -1) < 0) continue;
    if (bridge->reconnect.drainWake()) bridge->reconnect.serve(answer);
  }
}

void FuzzBridge::resetCallState() {
  dispatcher.reset(new TlvDispatcher(*bridge->localLink, bridge->dispatcherNetwork(), bridge->events));
  handler.reset(new ODMRMessageHandler(*bridge->localLink, bridge->link, bridge->alias, bridge->subscribers.get(),
                                       bridge->events));
  bridge->currentTG = bridge->settings->startTG;
}

void FuzzBridge::processODMRMessage(RewindData* packet, int length) { handler->process(packet, length); }

std::vector<std::vector<uint8_t>> FuzzBridge::sentToPartner() {
  std::vector<std::vector<uint8_t>> sent;
  std::vector<uint8_t> datagram;
  while (partner.receive(datagram)) sent.push_back(datagram);
  return sent;
}

void FuzzBridge::drainSinks() {
  partner.drain();
  server.drain();
}

}  // namespace fuzzing
