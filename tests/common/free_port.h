// SPDX-License-Identifier: GPL-2.0-or-later
// Ports for processes that a test starts and that bind them later. A port is
// reserved for the calling process until it ends; not for concurrent use by
// several threads of one test.
#pragma once

namespace testing_support {

// A port, free for UDP and TCP, that no socket given a port by the kernel and no
// other test of this machine can take until this process ends. -1 when none is left.
int freeUdpPort();
int freeTcpPort();
// Whether ::1 can be bound here (some machines have no IPv6 on loopback).
bool hasIpv6Loopback();

}  // namespace testing_support
