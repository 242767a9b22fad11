// SPDX-License-Identifier: GPL-2.0-or-later
// Text from outside (talker aliases, metadata, partner commands, broker messages,
// subscriber names) made safe to write into a log line or onto a terminal: every
// control byte (below 0x20, and 0x7F) is shown escaped, so no outside byte can
// end a line, start a forged one or move a terminal's cursor. Every other byte,
// UTF-8 included, passes unchanged. Pure functions, safe from any thread.
#pragma once

#include <stddef.h>

#include <string>

// "\n", "\r" and "\t" for those three, "\xHH" (two lower-case hex digits) for the
// other control bytes, zero bytes of a counted text included. A backslash of the
// text stays as it is.
std::string escapeControls(const char* data, size_t length);
// The same for a C string; null gives the empty text.
std::string escapeControls(const char* text);

// What stands for a password wherever one would be shown (the settings echo, a
// reconnect command in the log): "********" whatever its length, or the empty
// text for an empty or missing one.
const char* maskedSecret(const char* secret);
