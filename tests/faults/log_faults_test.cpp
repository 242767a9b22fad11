// SPDX-License-Identifier: GPL-2.0-or-later
// Faults of the log file, injected against the real binary: the log directory
// becomes unwritable, the log device is full, the log file is moved away without
// SIGHUP. The daemon keeps running and carrying calls in every case.
#include <signal.h>
#include <sys/stat.h>

#include "faults/fault_fixture.h"

namespace faults {
namespace {

using testing_support::readFile;

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

class LogFaults : public Faults {
 protected:
  void SetUp() override {
    Faults::SetUp();
    work = dir.file("work");
    logs = dir.file("logs");
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
  }

  // Closes the log file (SIGHUP) and makes sure a line has been emitted since, so
  // the file is reopened by the rule in force now.
  void hangUpAndCall(uint32_t firstSequence) {
    zelk->sendSignal(SIGHUP);
    usleep(200 * 1000);
    localCallArrivesWhole(20, firstSequence);
    networkCallArrivesWhole(20);
  }

  std::string work, logs;
};

TEST_F(LogFaults, UnwritableLogDirectoryKeepsDaemonRunningAndCarryingCalls) {
  startAndLogIn("", work, logs);
  ASSERT_NE(readFile(logs + "/ZELK.log").find("Successful connection"), std::string::npos);

  // Neither the log directory nor the fallback (the working directory) can take
  // a file any more, even for root: one is now a plain file, the other is gone.
  ASSERT_EQ(rename(logs.c_str(), (logs + ".old").c_str()), 0);
  { FILE* f = fopen(logs.c_str(), "w"); ASSERT_NE(f, nullptr); fclose(f); }
  ASSERT_EQ(unlink((work + "/zelk.ini").c_str()), 0);
  ASSERT_EQ(rmdir(work.c_str()), 0);
  hangUpAndCall(100);
  EXPECT_TRUE(zelk->running());
  // The lines still reach standard output.
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 23 frames\n", kWaitMs));

  // The directory comes back: the next line opens a new file there.
  ASSERT_EQ(unlink(logs.c_str()), 0);
  ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
  localCallArrivesWhole(20, 200);
  EXPECT_NE(readFile(logs + "/ZELK.log").find("DMR, TX state = OFF, DMR frame count was 20 frames"),
            std::string::npos);
  EXPECT_TRUE(zelk->running());
}

TEST_F(LogFaults, FullLogDeviceKeepsDaemonRunningAndCarryingCalls) {
  startAndLogIn("", work, logs);
  ASSERT_EQ(unlink((logs + "/ZELK.log").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", (logs + "/ZELK.log").c_str()), 0);  // every write fails with ENOSPC
  hangUpAndCall(100);
  hangUpAndCall(200);
  EXPECT_TRUE(zelk->running());
  EXPECT_TRUE(zelk->waitForOutput("DMR, ODMR End Tx:DMR frame count was 23 frames\n", kWaitMs));
}

TEST_F(LogFaults, LogFileMovedAwayWithoutHangupKeepsWritingToTheMovedFile) {
  startAndLogIn("", work, logs);
  ASSERT_EQ(rename((logs + "/ZELK.log").c_str(), (logs + "/ZELK.log.1").c_str()), 0);
  localCallArrivesWhole(21);
  // The open file went with the move: the lines follow it, no new file appears.
  EXPECT_NE(readFile(logs + "/ZELK.log.1").find("DMR, TX state = OFF, DMR frame count was 21 frames"),
            std::string::npos);
  EXPECT_FALSE(exists(logs + "/ZELK.log"));

  // SIGHUP is what starts a new file.
  zelk->sendSignal(SIGHUP);
  usleep(200 * 1000);
  localCallArrivesWhole(22, 100);
  EXPECT_NE(readFile(logs + "/ZELK.log").find("DMR, TX state = OFF, DMR frame count was 22 frames"),
            std::string::npos);
  EXPECT_EQ(readFile(logs + "/ZELK.log.1").find("was 22 frames"), std::string::npos);
  EXPECT_TRUE(zelk->running());
}

}  // namespace
}  // namespace faults
