// SPDX-License-Identifier: GPL-2.0-or-later
/* A wall clock that steps, for whole-process tests: preloaded into a child
 * (LD_PRELOAD), it shifts what time, gettimeofday and clock_gettime with a
 * real-time clock report, the way an NTP step does. ZELK_CLOCK_STEPS lists
 * "second:offset" pairs separated by commas: from that many seconds after the
 * process started on, the wall clock is offset seconds off (for example
 * "10:3600,20:-3600" steps an hour forward at 10 s and an hour back at 20 s).
 *
 * The monotonic clocks move on only when ZELK_CLOCK_ADVANCE names a file: its
 * first eight bytes, an int64_t of milliseconds that the test raises while the
 * process runs (mapped shared, so a store is seen at once), are added to them.
 * The process sees time jump forward, as after a pause of the machine; its
 * waits still last as long as they last, so a test advances the clock only by
 * what the process would otherwise have waited for. With ZELK_CLOCK_ADVANCE_WALL
 * set as well, the same advance moves the wall clock too, so that the process
 * lives through days of both clocks (its daily reload, its log's dates).
 *
 * ZELK_CLOCK_STEP_ON_USR1=seconds makes every SIGUSR1 sent to the process step
 * the wall clock forward by that much more, whenever the driver wants it; the
 * signal is blocked in every thread of the process and taken by one thread of
 * the shim's own, so it interrupts nothing. It leaves the monotonic clocks alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define MAX_STEPS 8

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

/* A 32-bit build with a 64-bit time_t (_TIME_BITS=64) calls the *64 entry points
 * of the C library: the definitions below take their names through the headers,
 * and the real one is looked up under its own. */
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define REAL_CLOCK_GETTIME "__clock_gettime64"
#else
#define REAL_CLOCK_GETTIME "clock_gettime"
#endif

static clock_gettime_fn real_clock_gettime;
static long step_at[MAX_STEPS];
static long step_offset[MAX_STEPS];
static int steps;
static struct timespec started;
static const int64_t* advance_ms; /* the shared advance, NULL without one */
static int advance_wall; /* the advance moves the wall clock as well */
static long step_on_signal;
static atomic_long signalled_offset;

static void* signal_steps(void* unused) {
  (void)unused;
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  for (;;) {
    int taken = 0;
    if (sigwait(&usr1, &taken) == 0) atomic_fetch_add(&signalled_offset, step_on_signal);
  }
  return NULL;
}

static void start_signal_steps(void) {
  const char* text = getenv("ZELK_CLOCK_STEP_ON_USR1");
  if (text == NULL) return;
  step_on_signal = strtol(text, NULL, 10);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  /* Threads inherit the mask of the one that creates them: this is the first. */
  pthread_sigmask(SIG_BLOCK, &usr1, NULL);
  pthread_t thread;
  if (pthread_create(&thread, NULL, signal_steps, NULL) == 0) pthread_detach(thread);
}

__attribute__((constructor)) static void stepped_clock_init(void) {
  real_clock_gettime = (clock_gettime_fn)dlsym(RTLD_NEXT, REAL_CLOCK_GETTIME);
  if (real_clock_gettime != NULL) real_clock_gettime(CLOCK_MONOTONIC, &started);
  const char* advance = getenv("ZELK_CLOCK_ADVANCE");
  int fd = advance != NULL ? open(advance, O_RDONLY | O_CLOEXEC) : -1;
  if (fd >= 0) {
    void* shared = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
    if (shared != MAP_FAILED) advance_ms = (const int64_t*)shared;
    close(fd);
  }
  advance_wall = getenv("ZELK_CLOCK_ADVANCE_WALL") != NULL;
  const char* text = getenv("ZELK_CLOCK_STEPS");
  while (text != NULL && *text != '\0' && steps < MAX_STEPS) {
    char* end = NULL;
    long at = strtol(text, &end, 10);
    if (end == text || *end != ':') break;
    text = end + 1;
    long offset = strtol(text, &end, 10);
    if (end == text) break;
    step_at[steps] = at;
    step_offset[steps] = offset;
    ++steps;
    text = *end == ',' ? end + 1 : end;
  }
  start_signal_steps();
}

static long current_offset(void) {
  struct timespec now;
  if (real_clock_gettime == NULL || real_clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  long elapsed = (long)(now.tv_sec - started.tv_sec);
  long offset = atomic_load(&signalled_offset);
  for (int i = 0; i < steps; ++i) {
    if (elapsed >= step_at[i]) offset = step_offset[i] + atomic_load(&signalled_offset);
  }
  return offset;
}

int clock_gettime(clockid_t id, struct timespec* out) {
  if (real_clock_gettime == NULL) return -1;
  int result = real_clock_gettime(id, out);
  int wall = id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
  if (result == 0 && wall) out->tv_sec += current_offset();
  if (result == 0 && advance_ms != NULL &&
      ((wall && advance_wall) || id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_MONOTONIC_RAW ||
       id == CLOCK_BOOTTIME)) {
    int64_t ms = __atomic_load_n(advance_ms, __ATOMIC_ACQUIRE);
    out->tv_sec += (time_t)(ms / 1000);
    out->tv_nsec += (long)(ms % 1000) * 1000000L;
    if (out->tv_nsec >= 1000000000L) {
      out->tv_nsec -= 1000000000L;
      out->tv_sec += 1;
    }
  }
  return result;
}

int gettimeofday(struct timeval* restrict out, void* restrict zone) {
  (void)zone;
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  out->tv_sec = now.tv_sec;
  out->tv_usec = now.tv_nsec / 1000;
  return 0;
}

time_t time(time_t* out) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return (time_t)-1;
  if (out != NULL) *out = now.tv_sec;
  return now.tv_sec;
}
