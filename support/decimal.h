// SPDX-License-Identifier: GPL-2.0-or-later
// Decimal numbers from outside (the INI file, the partner's commands), read the
// way atoi reads them but without its undefined overflow. Pure, any thread.
#pragma once

// Leading white space, an optional sign, then digits up to the first non-digit;
// text without leading digits (or null) gives 0. Every number within the range of
// int gives what atoi gives. A number beyond that range gives the nearest end of
// it: INT_MAX (2147483647) for a positive one, INT_MIN (-2147483648) for a
// negative one, however many digits follow.
int parseDecimal(const char* text);
