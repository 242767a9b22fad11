// SPDX-License-Identifier: GPL-2.0-or-later
#include "telemetry/log_class.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/process.h"

namespace {

using testing_support::readFile;
using testing_support::TempDir;

// Each test gets its own log directory through ZELK_LOG and sees every emitted line.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZELK_LOG", dir.path().c_str(), 1);
    logInstance.logClose();
    logInstance.setLogLevel(1);
    logInstance.setLineObserver(
        [](void* context, unsigned int, const char* line) {
          static_cast<std::vector<std::string>*>(context)->push_back(line);
        },
        &lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    logInstance.setClock(Clock());
    logInstance.logClose();
    logInstance.setLogLevel(2);
    unsetenv("ZELK_LOG");
  }
  std::string message(size_t i) const { return lines.at(i).substr(LOG_CLASS::kPrefixLength); }

  TempDir dir;
  std::vector<std::string> lines;
  ManualTime time;
};

TEST_F(LoggerTest, PrefixIsUtcWithTruncatedMilliseconds) {
  setenv("TZ", "Asia/Kolkata", 1);
  tzset();
  logInstance.setClock(Clock(&time));
  time.setWallUs(1700000000999999);  // 2023-11-14 22:13:20 UTC
  logInstance.log(LOG_WARNING, "x\n");
  time.setWallUs(1700000000000999);
  logInstance.log(LOG_FATAL, "y\n");
  unsetenv("TZ");
  tzset();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "W: 2023-11-14 22:13:20.999 x\n");
  EXPECT_EQ(lines[1], "F: 2023-11-14 22:13:20.000 y\n");
}

TEST_F(LoggerTest, ThresholdFiltersAndZeroOrHugeLevelsSilence) {
  logInstance.setLogLevel(3);
  logInstance.log(LOG_MESSAGE, "below\n");
  logInstance.log(LOG_INFO, "at\n");
  logInstance.setLogLevel(0);
  logInstance.log(LOG_FATAL, "silenced by 0\n");
  logInstance.setLogLevel(-1);
  logInstance.log(LOG_FATAL, "silenced by -1\n");
  logInstance.setLogLevel(7);
  logInstance.log(LOG_FATAL, "silenced by 7\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(message(0), "at\n");
}

// The file is created 0640 even under a permissive umask.
TEST_F(LoggerTest, FileHoldsExactlyWhatStandardOutputGets) {
  mode_t previous = umask(0);
  logInstance.log(LOG_INFO, "first %d\n", 1);
  umask(previous);
  logInstance.log(LOG_ERROR, "second %s\n", "line");
  EXPECT_EQ(readFile(dir.file("ZELK.log")), lines[0] + lines[1]);
  struct stat info;
  ASSERT_EQ(stat(dir.file("ZELK.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(LoggerTest, CloseMakesTheNextLineOpenAFreshFile) {
  logInstance.log(LOG_INFO, "before\n");
  ASSERT_EQ(rename(dir.file("ZELK.log").c_str(), dir.file("ZELK.log.1").c_str()), 0);
  logInstance.log(LOG_INFO, "still the old file\n");
  logInstance.logClose();
  logInstance.log(LOG_INFO, "after\n");
  EXPECT_EQ(readFile(dir.file("ZELK.log.1")), lines[0] + lines[1]);
  EXPECT_EQ(readFile(dir.file("ZELK.log")), lines[2]);
}

TEST_F(LoggerTest, MissingLogDirectoryFallsBackToWorkingDirectory) {
  TempDir cwd;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  setenv("ZELK_LOG", (dir.path() + "/missing").c_str(), 1);
  logInstance.log(LOG_INFO, "fallback\n");
  logInstance.logClose();
  logInstance.log(LOG_INFO, "closes the fallback file\n");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(readFile(cwd.file("ZELK.log")), lines[0] + lines[1]);
}

TEST_F(LoggerTest, OverlongMessageIsCutAndKeepsItsLineEnd) {
  std::string huge(5000, 'a');
  logInstance.log(LOG_INFO, "%s\n", huge.c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), LOG_CLASS::kLineSize - 1);
  EXPECT_EQ(lines[0].back(), '\n');
}

TEST_F(LoggerTest, DumpLaysOutSixteenBytesPerLine) {
  unsigned char data[17];
  for (int i = 0; i < 17; ++i) data[i] = static_cast<unsigned char>(0x41 + i);
  data[1] = 0x7F;
  data[2] = 0x20;
  data[3] = 0x80;
  logInstance.dump(LOG_DEBUG, "TA", data, 0);
  logInstance.dump(LOG_DEBUG, "TA", data, 16);
  logInstance.dump(LOG_DEBUG, "TA", data, 17);
  ASSERT_EQ(lines.size(), 1u + 2u + 3u);
  EXPECT_EQ(message(0), "TA\n");
  EXPECT_EQ(message(2), "0000:  41 7F 20 80 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50    *A. .EFGHIJKLMNOP*\n");
  EXPECT_EQ(message(5), "0010:  51" + std::string(15 * 3 + 1, ' ') + "   *Q*\n");
}

}  // namespace
