// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration check of "zelk -t [FILE]": reads the file with the start-up's
// parser and callback, prints the effective settings with the password masked,
// and checks what can be checked without the network (numbers and their ranges,
// ports, the user ID, files that must be readable), one error line per problem.
// Main thread, before anything else runs; it writes to the two streams only (no
// log file, no broker) and starts nothing.
#pragma once

#include <stdio.h>

// 0 when the file was read and every check passed, else 253 (as a configuration
// error at start-up).
int checkConfiguration(const char* path, FILE* out, FILE* err);
