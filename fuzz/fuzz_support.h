// SPDX-License-Identifier: GPL-2.0-or-later
// Shared pieces of the fuzz targets. Every way outside bytes enter the daemon has
// one entry function here: the libFuzzer build wraps one of them in
// LLVMFuzzerTestOneInput (ZELK_FUZZ_ENTRY), and the seed regression test calls
// them all from one ordinary test program. The helpers build, once per process,
// what the entries drive: quiet logging, loopback sinks that swallow whatever the
// daemon sends, and a bridge whose handlers run without its threads. Besides the
// sanitizers' checks, an entry checks what it can tell of the result; it returns
// the number of its checks that failed (0: all held, or it makes none of its own),
// and the fuzzer program stops on a nonzero result as on a crash.
// Entries run on one thread at a time; the helpers live until the process ends.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzzing {

// A partner datagram through the receiver's length check and the dispatcher.
int partnerDatagrams(const uint8_t* data, size_t size);
// Datagrams from the Rewind server through the network message handler.
int rewindMessages(const uint8_t* data, size_t size);
// The server's replies to a login.
int rewindLogin(const uint8_t* data, size_t size);
// Talker alias blocks through the decoder, any sequence; the text through the encoder.
int talkerAliasBlocks(const uint8_t* data, size_t size);
// An INI file through the parser and the settings callback.
int iniFile(const uint8_t* data, size_t size);
// A subscriber file through the loader and both lookups.
int subscriberFile(const uint8_t* data, size_t size);
// A byte stream from an MQTT broker through the client's packet reader.
int mqttStream(const uint8_t* data, size_t size);

struct Target {
  const char* name;  // the corpus folder and the fuzz program's name after "fuzz_"
  int (*entry)(const uint8_t*, size_t);
};
// Every target, in a fixed order.
const std::vector<Target>& targets();

// Log lines go to a log file that is /dev/null, at the most detailed level, so
// every format runs without filling a disk. With quietStdout standard output goes
// to /dev/null too (the fuzzer programs; the test program keeps its own).
void quietLogging(bool quietStdout);

// Splits fuzz input into records: a flags byte, a length byte and the bytes. The
// record's size is the length byte, plus 256 when bit 7 of the flags is set, at
// most limit, cut to what is left. Small, stable framing that mutations handle well.
struct Record {
  uint8_t flags;
  const uint8_t* bytes;
  size_t size;
};
std::vector<Record> splitRecords(const uint8_t* data, size_t size, size_t limit, size_t maxRecords);

// A file descriptor holding the bytes (a memory file) and the path that opens it.
class MemoryFile {
 public:
  MemoryFile();
  ~MemoryFile();
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  // Replaces the content; false when it could not be written.
  bool set(const uint8_t* data, size_t size);
  const std::string& path() const { return filePath; }

 private:
  int fd = -1;
  std::string filePath;
};

// A UDP socket on 127.0.0.1 with a port of its own and a small receive buffer:
// what is sent to it and never read is dropped by the kernel.
class LoopbackSink {
 public:
  LoopbackSink();
  ~LoopbackSink();
  LoopbackSink(const LoopbackSink&) = delete;
  LoopbackSink& operator=(const LoopbackSink&) = delete;
  int port() const { return boundPort; }
  int handle() const { return fd; }
  void drain();  // discards what is waiting
  // Takes one waiting datagram without blocking; false when none is waiting.
  bool receive(std::vector<uint8_t>& datagram);

 private:
  int fd = -1;
  int boundPort = 0;
};

}  // namespace fuzzing

#define ZELK_FUZZ_ENTRY(function)                                                \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {      \
    if (function(data, size) != 0) __builtin_trap();                             \
    return 0;                                                                    \
  }
