// SPDX-License-Identifier: GPL-2.0-or-later
// UTF-8 for texts that cross the system: metadata and commands from the partner,
// talker aliases in and out. Texts are taken as UTF-8 where they are valid UTF-8;
// any other byte is taken as an ISO 8859-1 character (as older partners send), so
// no text is ever rejected. Pure functions, safe from any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The character at data[*position] (length bytes in all, *position < length);
// advances *position past it. A valid UTF-8 sequence (shortest form, no
// surrogates, at most U+10FFFF) gives its code point; any other byte gives itself
// as an ISO 8859-1 character and advances by one.
uint32_t nextCharacter(const unsigned char* data, size_t length, size_t* position);
// Appends the code point in UTF-8 (one to four bytes); surrogates and values above
// U+10FFFF append U+FFFD.
void appendUtf8(std::string& out, uint32_t codePoint);
// The text as valid UTF-8: its valid sequences as they are, other bytes converted
// from ISO 8859-1.
std::string toUtf8(const char* data, size_t length);
