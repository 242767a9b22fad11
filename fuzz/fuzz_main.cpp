// SPDX-License-Identifier: GPL-2.0-or-later
// The libFuzzer entry of one target: the build names the entry function in
// ZELK_FUZZ_FUNCTION (for example fuzzing::partnerDatagrams).
#include "fuzz/fuzz_support.h"

ZELK_FUZZ_ENTRY(ZELK_FUZZ_FUNCTION)
