// SPDX-License-Identifier: GPL-2.0-or-later
// Hot paths of the network side: building and sending one Rewind packet (a voice
// burst goes out every 60 ms per call), the login hash, and the talker alias codec.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "network/odmrtp_class.h"
#include "network/talker_alias.h"
#include "support/cudp.h"
#include "support/sha256.h"
#include "telemetry/log_class.h"
#include "tools/rewind_sim/rewind_simulator.h"

namespace {

// A client logged in to a simulator that is then stopped; a socket of ours takes
// the port over and reads nothing, so every send is a real delivery attempt on
// loopback (once its buffer is full the kernel drops, as it would for a server
// that falls behind) without the simulator's work in the figure.
void BM_TransmitAudio(benchmark::State& state) {
  RewindSimulator sim;
  sim.setPassword("pw");
  if (!sim.start("127.0.0.1", 0)) {
    state.SkipWithError("simulator did not start");
    return;
  }
  ODMRTP_CLASS client(1234567, "ZELK_0.3.3");
  if (client.ConnectRewindClient("127.0.0.1", std::to_string(sim.port()).c_str(), "pw", 91) != 0) {
    state.SkipWithError("login failed");
    return;
  }
  const int port = sim.port();
  sim.stop();
  CUDP sink;
  sink.openSocket("127.0.0.1", port, 1);
  unsigned char burst[27];
  memset(burst, 0x5A, sizeof(burst));
  for (auto _ : state) client.transmitAudio(burst);
  state.SetItemsProcessed(state.iterations());
  sink.closeSocket();
}
BENCHMARK(BM_TransmitAudio);

void BM_LoginDigest(benchmark::State& state) {
  uint8_t challenge[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const char password[] = "mirab4le";
  uint8_t digest[SHA256_DIGEST_SIZE];
  for (auto _ : state) {
    Sha256Context sha;
    sha256_init(&sha);
    sha256_update(&sha, challenge, sizeof(challenge));
    sha256_update(&sha, password, sizeof(password) - 1);
    sha256_final(&sha, digest);
    benchmark::DoNotOptimize(digest);
  }
}
BENCHMARK(BM_LoginDigest);

void BM_TalkerAliasEncode(benchmark::State& state) {
  TalkerAlias alias;
  for (auto _ : state) {
    alias.encode("DL1ABC Bob from Hamburg 73");
    benchmark::DoNotOptimize(alias.talkerAliasBytes);
  }
}
BENCHMARK(BM_TalkerAliasEncode);

void BM_TalkerAliasSubstituteAndEncode(benchmark::State& state) {
  TalkerAlias alias;
  alias.setTaString("%callsign %name");
  for (auto _ : state) {
    std::string text = alias.substitute(alias.getTaString(), "%callsign", "DL1ABC");
    text = alias.substitute(text, "%name", "Bob");
    alias.encode(text.c_str());
  }
}
BENCHMARK(BM_TalkerAliasSubstituteAndEncode);

void BM_TalkerAliasDecode(benchmark::State& state) {
  logInstance.setLogLevel(LOG_WARNING);  // the decoded alias is logged at level I
  TalkerAlias alias;
  alias.encode("DL1ABC Bob from Hamburg 73");
  for (auto _ : state) {
    int completed = 0;
    for (int block = 0; block < alias.blockCount; ++block) completed += alias.decode(alias.talkerAliasBytes[block]);
    benchmark::DoNotOptimize(completed);
  }
}
BENCHMARK(BM_TalkerAliasDecode);

}  // namespace
