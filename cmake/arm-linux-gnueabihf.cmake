# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-building for 32-bit ARMv7 boards with a hardware floating-point unit
# (Debian armhf: Raspberry Pi 2 and later with a 32-bit system). Not for ARMv6
# boards such as the Pi Zero and Pi 1: those take the armel build.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(ZELK_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZELK_CROSS_PROCESSOR arm)
set(ZELK_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
