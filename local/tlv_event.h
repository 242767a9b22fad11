// SPDX-License-Identifier: GPL-2.0-or-later
// The event message to the local partner: a TAG_EVENT message holding
// {"topic":..,"message":..} and its terminating zero byte. Safe from any thread
// (the endpoint's writes are).
#pragma once

class CUDP;

// Texts over 254 characters in all do not fit one message: a warning is logged
// and nothing is sent.
void sendTlvEvent(CUDP& partner, const char* topic, const char* message);
