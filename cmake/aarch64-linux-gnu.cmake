# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-building for 64-bit ARM boards (Debian arm64: Raspberry Pi 3, 4 and 5 with
# a 64-bit system, and most newer boards).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(ZELK_CROSS_TRIPLET aarch64-linux-gnu)
set(ZELK_CROSS_PROCESSOR aarch64)
set(ZELK_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
