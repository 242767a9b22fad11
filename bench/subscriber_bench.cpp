// SPDX-License-Identifier: GPL-2.0-or-later
// Loading a subscriber file of real size (250,000 lines) and looking it up. The
// load benchmark also reports the resident memory that one loaded table holds
// (rss_kB, measured on the first load) and the process's peak (VmHWM_kB).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/subscriber.h"
#include "telemetry/log_class.h"

namespace {

constexpr int kLines = 250000;

// A file shaped like the published ID lists: sorted IDs, callsign, first and
// last name, city, state, country. Written once per run.
const std::string& subscriberFile() {
  static std::string path;
  if (!path.empty()) return path;
  path = "/tmp/zelk_subscriber_bench_" + std::to_string(getpid()) + ".csv";
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return path;
  fputs("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n", file);
  unsigned int seed = 12345;
  for (int i = 0; i < kLines - 1; ++i) {
    seed = seed * 1103515245u + 12345u;
    char call[8];
    snprintf(call, sizeof(call), "%c%c%d%c%c%c", 'A' + seed % 26, 'A' + (seed >> 5) % 26, static_cast<int>((seed >> 10) % 10),
             'A' + (seed >> 14) % 26, 'A' + (seed >> 19) % 26, 'A' + (seed >> 24) % 26);
    fprintf(file, "%d,%s,Firstname%d,Lastname,Some City,Some State,Some Country\n", 1000000 + i * 7, call, i % 977);
  }
  fclose(file);
  static struct Remover {
    ~Remover() { unlink(path.c_str()); }
  } remover;
  return path;
}

long statusKb(const char* field) {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  size_t fieldLength = strlen(field);
  while (fgets(line, sizeof(line), status) != nullptr) {
    if (strncmp(line, field, fieldLength) == 0 && line[fieldLength] == ':') value = atol(line + fieldLength + 1);
  }
  fclose(status);
  return value;
}

void BM_SubscriberLoad250k(benchmark::State& state) {
  const std::string& path = subscriberFile();
  logInstance.setLogLevel(4);  // no "loaded" line per iteration
  // Memory of one table, measured on a fresh heap before the timed loads reuse it.
  long rssDelta = 0;
  {
    long before = statusKb("VmRSS");
    Subscriber database(path);
    rssDelta = statusKb("VmRSS") - before;
  }
  size_t loaded = 0;
  for (auto _ : state) {
    Subscriber database(path);
    loaded = database.size();
    benchmark::DoNotOptimize(loaded);
  }
  state.counters["ids"] = static_cast<double>(loaded);
  state.counters["rss_kB"] = static_cast<double>(rssDelta);
  state.counters["VmHWM_kB"] = static_cast<double>(statusKb("VmHWM"));
}
BENCHMARK(BM_SubscriberLoad250k)->Unit(benchmark::kMillisecond);

void BM_SubscriberLookup(benchmark::State& state) {
  logInstance.setLogLevel(4);
  Subscriber database(subscriberFile());
  int i = 0;
  for (auto _ : state) {
    uint32_t id = 1000000 + static_cast<uint32_t>((i++ * 7919) % (kLines - 1)) * 7;
    benchmark::DoNotOptimize(database.findSubscriber(id));
  }
}
BENCHMARK(BM_SubscriberLookup);

}  // namespace
