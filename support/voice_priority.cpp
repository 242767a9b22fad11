// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/voice_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

bool raiseVoicePriority() {
  struct sched_param priority {};
  priority.sched_priority = kVoicePriority;
  return pthread_setschedparam(pthread_self(), SCHED_RR, &priority) == 0;
}

void lowerToBackground() {
  struct sched_param normal {};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}
