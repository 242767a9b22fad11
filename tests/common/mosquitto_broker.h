// SPDX-License-Identifier: GPL-2.0-or-later
// A real mosquitto broker for one test: started in the foreground on a free
// loopback port with a minimal configuration (one listener on 127.0.0.1, and
// on request one on ::1 at the same port; anonymous clients allowed) in a scratch directory. The constructor waits until
// the broker accepts connections; the destructor kills it. A test may stop or
// kill it earlier to see what the client does when its broker goes away, and
// start it again on the same port to see it come back.
#pragma once

#include <memory>
#include <string>

#include "common/process.h"

namespace testing_support {

class MosquittoBroker {
 public:
  MosquittoBroker();
  // On this port only (one a client was already told), rather than a free one.
  explicit MosquittoBroker(int port);
  // On a free port, listening on ::1 too.
  struct AlsoOnIpv6 {};
  explicit MosquittoBroker(AlsoOnIpv6);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  bool started() const { return isStarted; }
  int port() const { return brokerPort; }
  void kill();            // SIGKILL and wait for the end
  bool restart();         // after kill: start again on the same port
  std::string log() const;  // what the broker wrote so far

 private:
  bool start(int port);

  bool ipv6 = false;

  TempDir dir;
  std::unique_ptr<ChildProcess> process;
  int brokerPort = -1;
  bool isStarted = false;
};

}  // namespace testing_support
