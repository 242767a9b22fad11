// SPDX-License-Identifier: GPL-2.0-or-later
#include "fuzz/fuzz_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "telemetry/log_class.h"

namespace fuzzing {

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"partner", partnerDatagrams},   {"rewind_message", rewindMessages}, {"rewind_login", rewindLogin},
      {"talker_alias", talkerAliasBlocks}, {"ini", iniFile},               {"subscriber", subscriberFile},
      {"mqtt", mqttStream},
  };
  return all;
}

void quietLogging(bool quietStdout) {
  static bool done = false;
  if (done) return;
  done = true;
  // The logger opens $ZELK_LOG/ZELK.log: a link to /dev/null takes every line.
  static char dir[] = "/tmp/zelk-fuzz-XXXXXX";
  if (mkdtemp(dir) != nullptr) {
    std::string link = std::string(dir) + "/ZELK.log";
    if (symlink("/dev/null", link.c_str()) == 0) setenv("ZELK_LOG", dir, 1);
    atexit([] {
      unlink((std::string(dir) + "/ZELK.log").c_str());
      rmdir(dir);
    });
  }
  if (quietStdout) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      fflush(stdout);
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  logInstance.setLogLevel(LOG_DEBUG);
}

std::vector<Record> splitRecords(const uint8_t* data, size_t size, size_t limit, size_t maxRecords) {
  std::vector<Record> records;
  size_t at = 0;
  while (at + 2 <= size && records.size() < maxRecords) {
    uint8_t flags = data[at];
    size_t wanted = data[at + 1] + ((flags & 0x80) != 0 ? 256u : 0u);
    if (wanted > limit) wanted = limit;
    at += 2;
    size_t length = wanted < size - at ? wanted : size - at;
    records.push_back(Record{flags, data + at, length});
    at += length;
  }
  return records;
}

MemoryFile::MemoryFile() {
  fd = memfd_create("zelk-fuzz", MFD_CLOEXEC);
  if (fd >= 0) filePath = "/proc/self/fd/" + std::to_string(fd);
}

MemoryFile::~MemoryFile() {
  if (fd >= 0) close(fd);
}

bool MemoryFile::set(const uint8_t* data, size_t size) {
  if (fd < 0 || ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

LoopbackSink::LoopbackSink() {
  fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    fd = -1;
    return;
  }
  boundPort = ntohs(address.sin_port);
}

LoopbackSink::~LoopbackSink() {
  if (fd >= 0) close(fd);
}

bool LoopbackSink::receive(std::vector<uint8_t>& datagram) {
  datagram.resize(2048);
  ssize_t got = fd >= 0 ? recv(fd, datagram.data(), datagram.size(), MSG_DONTWAIT) : -1;
  datagram.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return got >= 0;
}

void LoopbackSink::drain() {
  unsigned char sink[2048];
  while (fd >= 0 && recv(fd, sink, sizeof(sink), MSG_DONTWAIT) >= 0) {
  }
}

}  // namespace fuzzing
