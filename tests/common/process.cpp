// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "base/clock.h"

extern char** environ;

namespace testing_support {

namespace {

}  // namespace

std::string binaryPath(const std::string& name) { return std::string(ZELK_BIN_DIR) + "/" + name; }

TempDir::TempDir() {
  char pattern[] = "/tmp/zelk-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  dir = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  if (dir.rfind("/tmp/zelk-test-", 0) == 0) {
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) {
      // Nothing more to do: a stale directory under /tmp is harmless.
    }
  }
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> preloadedClockEnv() {
  // A sanitizer runtime must otherwise be the first library loaded.
  const char* asan = getenv("ASAN_OPTIONS");
  return {"LD_PRELOAD=" + std::string(ZELK_STEPPED_CLOCK),
          std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"};
}

DrivenClock::DrivenClock() {
  int fd = open(dir.file("advance").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  void* mapped = MAP_FAILED;
  if (ftruncate(fd, sizeof(int64_t)) == 0) {
    mapped = mmap(nullptr, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (mapped != MAP_FAILED) shared = static_cast<int64_t*>(mapped);
}

DrivenClock::~DrivenClock() {
  if (shared != nullptr) munmap(shared, sizeof(int64_t));
}

std::vector<std::string> DrivenClock::env() const {
  std::vector<std::string> entries = preloadedClockEnv();
  entries.push_back("ZELK_CLOCK_ADVANCE=" + dir.file("advance"));
  return entries;
}

void DrivenClock::advance(int64_t milliseconds) {
  if (shared != nullptr) __atomic_add_fetch(shared, milliseconds, __ATOMIC_RELEASE);
}

int64_t DrivenClock::advanced() const { return shared != nullptr ? __atomic_load_n(shared, __ATOMIC_ACQUIRE) : 0; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& extra : extraEnv) {
      if (extra.substr(0, extra.find('=')) == name) overridden = true;
    }
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  std::string outPath = captures.file("stdout");
  std::string errPath = captures.file("stderr");
  child = fork();
  if (child == 0) {
    // The child starts with no signal blocked, whatever the test thread had.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (child > 0 && running()) {
    kill(child, SIGKILL);
    waitExit(5000);
  }
}

bool ChildProcess::running() {
  if (child <= 0 || reaped) return false;
  int st = 0;
  pid_t r = waitpid(child, &st, WNOHANG);
  if (r == child) {
    reaped = true;
    status = st;
    return false;
  }
  return r == 0;
}

void ChildProcess::sendSignal(int signalNumber) {
  if (child > 0 && !reaped) kill(child, signalNumber);
}

int ChildProcess::waitExit(int timeoutMs) {
  long long deadline = monotonicMilliseconds() + timeoutMs;
  while (running()) {
    if (monotonicMilliseconds() >= deadline) return -1;
    usleep(10 * 1000);
  }
  if (!reaped) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
  long long deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (output().find(text) != std::string::npos) return true;
    if (monotonicMilliseconds() >= deadline) return false;
    usleep(10 * 1000);
  }
}

std::string ChildProcess::output() const { return readFile(captures.file("stdout")); }
std::string ChildProcess::errors() const { return readFile(captures.file("stderr")); }

int countOccurrences(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  int count = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace testing_support
