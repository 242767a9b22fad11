// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/mosquitto_broker.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

namespace {

std::string mosquittoPath() {
  if (access("/usr/sbin/mosquitto", X_OK) == 0) return "/usr/sbin/mosquitto";
  return "/usr/bin/mosquitto";
}

bool acceptsConnections(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

}  // namespace

MosquittoBroker::MosquittoBroker() {
  // Another test may take the free port first: then try another one.
  for (int attempt = 0; attempt < 3 && !isStarted; ++attempt) start(freeTcpPort());
}

MosquittoBroker::MosquittoBroker(int port) { start(port); }

MosquittoBroker::MosquittoBroker(AlsoOnIpv6) : ipv6(true) {
  for (int attempt = 0; attempt < 3 && !isStarted; ++attempt) start(freeTcpPort());
}

bool MosquittoBroker::start(int port) {
  brokerPort = port;
  isStarted = false;
  const std::string listener = "listener " + std::to_string(brokerPort);
  dir.write("mosquitto.conf", listener + " 127.0.0.1\n" + (ipv6 ? listener + " ::1\n" : "") +
                                  "allow_anonymous true\nlog_type all\n");
  process.reset(new ChildProcess({mosquittoPath(), "-c", dir.file("mosquitto.conf")}));
  for (int i = 0; i < 500 && process->running(); ++i) {  // at most 10 s
    if (acceptsConnections(brokerPort)) {
      isStarted = true;
      break;
    }
    usleep(20 * 1000);
  }
  return isStarted;
}

bool MosquittoBroker::restart() {
  kill();
  return start(brokerPort);
}

MosquittoBroker::~MosquittoBroker() { kill(); }

void MosquittoBroker::kill() {
  if (process && process->running()) {
    process->sendSignal(SIGKILL);
    process->waitExit(5000);
  }
}

std::string MosquittoBroker::log() const { return process ? process->errors() + process->output() : ""; }

}  // namespace testing_support
