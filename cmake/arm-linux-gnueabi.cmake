# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-building for 32-bit ARM boards without the armhf baseline (Debian armel,
# ARMv5TE code with software floating point: runs on ARMv6 boards such as the
# Raspberry Pi Zero and Pi 1).
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
set(ZELK_CROSS_TRIPLET arm-linux-gnueabi)
set(ZELK_CROSS_PROCESSOR arm)
set(ZELK_CROSS_QEMU qemu-arm)
# ARMv5TE has no 64-bit atomic instructions: std::atomic<int64_t> becomes calls
# into libatomic (libatomic1 on the board).
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
