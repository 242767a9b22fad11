// SPDX-License-Identifier: GPL-2.0-or-later
// Scheduling of the threads that carry voice. The network thread raises itself
// to a low real-time round-robin priority before it starts the receiver and the
// dispatcher, which inherit it, so frames keep their 60 ms pace on a board whose
// cores are busy with other work. A system that refuses (no privilege, no
// RLIMIT_RTPRIO, a unit that restricts real-time scheduling) leaves the threads
// at normal priority: the daemon works the same, only less shielded. Background
// work started from a voice thread drops back with lowerToBackground.
#pragma once

// Real-time priority of the voice threads: above nothing that matters more
// (the kernel's own threads use 50 and up), below every audio server's default.
constexpr int kVoicePriority = 10;

// Asks for SCHED_RR at kVoicePriority for the calling thread; false when refused.
bool raiseVoicePriority();
// Normal scheduling at the lowest nice value for the calling thread; always
// allowed, whatever the thread inherited.
void lowerToBackground();
