# SPDX-License-Identifier: GPL-2.0-or-later
# The shared part of the toolchain files for Debian's cross compilers
# (g++-<triplet>) with the target's libraries installed through multiarch
# (libinih-dev:<arch>, libgtest-dev:<arch>, ...). The including file sets
# ZELK_CROSS_TRIPLET, ZELK_CROSS_PROCESSOR and ZELK_CROSS_QEMU. Programs built
# this way run here under qemu-user, which CMake uses as the emulator, so ctest
# and the test discovery work unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZELK_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ZELK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZELK_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZELK_CROSS_TRIPLET})

# The cross compiler's own sysroot, then the multiarch directories of /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${ZELK_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the target's .pc files (and the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ZELK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The target's loader and libraries are those that multiarch installed (for
# example /lib/ld-linux-aarch64.so.1 and /lib/aarch64-linux-gnu), so qemu needs no
# -L. With -L /usr/<triplet> the loader would come from the cross compiler's own
# glibc build (libc6-<arch>-cross) while libc.so.6 still comes from libc6:<arch>,
# a different build of glibc; such a pair hangs as soon as a thread is started.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELK_CROSS_QEMU})
