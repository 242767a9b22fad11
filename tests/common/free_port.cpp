// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/free_port.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace testing_support {

namespace {

constexpr const char* kPortLockDir = "/tmp/zelk-test-ports";

// The lowest port the kernel hands out to a bind to port 0 or a connect; 0 when
// it cannot be read.
int ephemeralLow() {
  FILE* range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "re");
  if (range == nullptr) return 0;
  int low = 0, high = 0;
  if (fscanf(range, "%d %d", &low, &high) != 2) low = 0;
  fclose(range);
  return low;
}

bool bindable(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);  // the daemon binds its ports on every address
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return free;
}

// A port handed to a daemon or a tool that binds it later. A port from the
// kernel's ephemeral range would be free only until some socket of a parallel test
// (a simulator, a partner, a daemon's own socket, an MQTT connection) is given it
// by a bind to port 0 or a connect: the daemon's bind then fails and its partner
// side stays deaf. So the port comes from below that range, where the kernel never
// hands ports out, and a lock file per port, held until this process ends, keeps
// two tests from choosing the same one. The bind check skips ports that something
// else on the machine holds.
int freePort() {
  static std::vector<int> held;  // the lock files of the ports chosen so far
  const int low = ephemeralLow();
  const int first = std::max(1024, low - 16384);
  if (low - first < 1024) return -1;
  mkdir(kPortLockDir, 01777);
  const int count = low - first;
  int offset = static_cast<int>((static_cast<unsigned>(getpid()) * 2654435761u + held.size() * 97u) % count);
  for (int tries = 0; tries < count; ++tries, offset = (offset + 1) % count) {
    const int port = first + offset;
    char path[64];
    snprintf(path, sizeof(path), "%s/%d", kPortLockDir, port);
    int lock = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0) continue;
    if (flock(lock, LOCK_EX | LOCK_NB) != 0 || !bindable(SOCK_DGRAM, port) || !bindable(SOCK_STREAM, port)) {
      close(lock);
      continue;
    }
    held.push_back(lock);
    return port;
  }
  return -1;
}

}  // namespace

int freeUdpPort() { return freePort(); }
int freeTcpPort() { return freePort(); }

bool hasIpv6Loopback() {
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 addr {};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (fd >= 0) close(fd);
  return bound;
}

}  // namespace testing_support
