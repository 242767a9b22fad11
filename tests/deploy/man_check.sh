#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The manual pages render without a single groff or man warning, have a NAME
# line that lexgrog reads, carry the version of the build and of the Debian
# changelog, and document every configuration key and every tool option.
#   tests/deploy/man_check.sh SOURCE_DIR
set -u
src=${1:?usage: man_check.sh SOURCE_DIR}
man="$src/docs/man"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

version=$(sed -n 's/^project(ZELK VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
head -1 "$src/debian/changelog" | grep -q "^zelk ($version)" \
  || fail "debian/changelog does not start with version $version"

for page in zelk.8 Trelvane.ini.5 zelk-rewind-sim.1 zelk-partner.1 zelk-road.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  lexgrog "$man/$page" >/dev/null 2>&1 || fail "$page: lexgrog finds no NAME line"
  grep -q "^\.TH .* \"ZELK $version\"" "$man/$page" || fail "$page: .TH does not name ZELK $version"
done

for key in $(sed -n 's/^ *\(TEXT\|NUMBER\)_KEY("\([A-Za-z]*\)".*/\2/p' "$src/app/settings.cpp"); do
  grep -q "^\.BR $key " "$man/Trelvane.ini.5" || fail "Trelvane.ini.5 does not document $key"
done
# Each option as the page writes it: --play-after is \-\-play\-after.
documents() { grep -qF -- "\\-\\-$(printf '%s' "$2" | sed 's/-/\\-/g')" "$man/$1"; }
for option in $(sed -n 's/^ *{"\([a-z-]*\)", [a-z_]*_argument.*/\1/p' "$src/tools/rewind_sim/main.cpp"); do
  documents zelk-rewind-sim.1 "$option" || fail "zelk-rewind-sim.1 does not document --$option"
done
for option in $(sed -n 's/^ *{"\([a-z0-9-]*\)", [a-z_]*_argument.*/\1/p' "$src/tools/road/main.cpp"); do
  documents zelk-road.1 "$option" || fail "zelk-road.1 does not document --$option"
done
for option in $(sed -n 's/.*arg == "--\([a-z-]*\)".*/\1/p' "$src/tools/partner/main.cpp"); do
  documents zelk-partner.1 "$option" || fail "zelk-partner.1 does not document --$option"
done

[ "$failed" -eq 0 ] && echo "man pages: clean"
exit "$failed"
