// SPDX-License-Identifier: GPL-2.0-or-later
// The fuzz targets' seed corpora as a regression test: every seed (and every
// finding added to a corpus) runs through its target's entry function in the
// ordinary build, so a fixed fault stays fixed without clang or libFuzzer.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace fuzzing {
// Names a target in test output.
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }
}  // namespace fuzzing

namespace {

std::vector<std::string> seedFiles(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return files;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || (name.size() > 5 && name.substr(name.size() - 5) == ".dict")) continue;
    files.push_back(folder + "/" + name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The targets log every line at the most detailed level: keep them out of the
// test's output while they run.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }

 private:
  int saved = -1;
};

class FuzzSeeds : public ::testing::TestWithParam<fuzzing::Target> {
 protected:
  static void SetUpTestSuite() { fuzzing::quietLogging(false); }
};

TEST_P(FuzzSeeds, EverySeedRunsThroughItsTarget) {
  const fuzzing::Target& target = GetParam();
  std::vector<std::string> seeds = seedFiles(std::string(ZELK_SOURCE_DIR) + "/fuzz/corpus/" + target.name);
  ASSERT_GE(seeds.size(), 3u) << "a target needs a few seeds";
  QuietStdout quiet;
  for (const std::string& seed : seeds) {
    std::vector<uint8_t> bytes = readBytes(seed);
    EXPECT_EQ(target.entry(bytes.data(), bytes.size()), 0) << seed;
  }
  // An empty input and a one-byte input are inputs too.
  uint8_t one = 0xFF;
  EXPECT_EQ(target.entry(nullptr, 0), 0);
  EXPECT_EQ(target.entry(&one, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzSeeds, ::testing::ValuesIn(fuzzing::targets()),
                         [](const ::testing::TestParamInfo<fuzzing::Target>& info) {
                           std::string name = info.param.name;
                           name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                           return name;
                         });

}  // namespace
