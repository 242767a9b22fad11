// SPDX-License-Identifier: GPL-2.0-or-later
// The two settings that hold lists, StaticTGs (talk groups) and BMFallback
// (host[:port] servers), read from their text for the start-up and for "zelk -t".
// Plain functions without state, safe from any thread. An absent or blank text is
// an empty list; anything else must be entries separated by commas, blanks around
// them allowed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "network/odmr_connection.h"

constexpr size_t kMaxStaticTalkGroups = 16;
constexpr size_t kMaxFallbackServers = 4;

// Up to 16 talk groups from 1 to 16777215, in the order written (duplicates
// kept). False with *why saying what is wrong with the first bad entry.
bool parseStaticTalkGroups(const char* text, std::vector<uint32_t>* groups, std::string* why);

// Up to 4 servers: a host name or IPv4 address with an optional ":port", an IPv6
// address in brackets with an optional ":port" ("[::1]:54005"), or a bare IPv6
// address, whose colons then say no port. A port is a number from 1 to 65535 or a
// UDP service name; without one an entry takes defaultPort. False with *why
// saying what is wrong with the first bad entry.
bool parseFallbackServers(const char* text, const char* defaultPort, std::vector<RewindServer>* servers,
                          std::string* why);
