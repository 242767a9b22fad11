// SPDX-License-Identifier: GPL-2.0-or-later
// Loading a subscriber file of real size (300,000 lines) in each form the
// database reads, and looking it up. The three files hold the same records. The
// load benchmarks also report the resident memory that one loaded table holds
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

constexpr int kLines = 300000;

enum class Form { kComma, kTitled, kDmrIds };

// Sorted IDs, callsign, first and last name, city, state, country, as the
// published ID lists have them; the comma form is the same rows without the
// title line, DMRIds.dat has ID, callsign and both names. Written once per run.
const std::string& subscriberFile(Form form) {
  static std::string paths[3];
  std::string& path = paths[static_cast<int>(form)];
  if (!path.empty()) return path;
  static const char* const kSuffix[] = {"comma.csv", "titled.csv", "DMRIds.dat"};
  path = "/tmp/zelk_subscriber_bench_" + std::to_string(getpid()) + "_" + kSuffix[static_cast<int>(form)];
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return path;
  int rows = kLines;
  if (form == Form::kTitled) {
    fputs("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n", file);
    --rows;
  }
  unsigned int seed = 12345;
  for (int i = 0; i < rows; ++i) {
    seed = seed * 1103515245u + 12345u;
    char call[8];
    snprintf(call, sizeof(call), "%c%c%d%c%c%c", 'A' + seed % 26, 'A' + (seed >> 5) % 26, static_cast<int>((seed >> 10) % 10),
             'A' + (seed >> 14) % 26, 'A' + (seed >> 19) % 26, 'A' + (seed >> 24) % 26);
    if (form == Form::kDmrIds) {
      fprintf(file, "%d\t%s\tFirstname%d Lastname\n", 1000000 + i * 7, call, i % 977);
    } else {
      fprintf(file, "%d,%s,Firstname%d,Lastname,Some City,Some State,Some Country\n", 1000000 + i * 7, call, i % 977);
    }
  }
  fclose(file);
  static struct Remover {
    ~Remover() {
      for (const std::string& written : paths) {
        if (!written.empty()) unlink(written.c_str());
      }
    }
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

void BM_SubscriberLoad300k(benchmark::State& state, Form form) {
  const std::string& path = subscriberFile(form);
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
BENCHMARK_CAPTURE(BM_SubscriberLoad300k, comma, Form::kComma)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SubscriberLoad300k, titled, Form::kTitled)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SubscriberLoad300k, DMRIds, Form::kDmrIds)->Unit(benchmark::kMillisecond);

void BM_SubscriberLookup(benchmark::State& state) {
  logInstance.setLogLevel(4);
  Subscriber database(subscriberFile(Form::kComma));
  int i = 0;
  for (auto _ : state) {
    uint32_t id = 1000000 + static_cast<uint32_t>((i++ * 7919) % kLines) * 7;
    benchmark::DoNotOptimize(database.findSubscriber(id));
  }
}
BENCHMARK(BM_SubscriberLookup);

}  // namespace
