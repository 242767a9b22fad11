# SPDX-License-Identifier: GPL-2.0-or-later
# The shared part of the toolchain files for Debian's cross compilers
# (g++-<triplet>). The including file sets ZELK_CROSS_TRIPLET,
# ZELK_CROSS_PROCESSOR and ZELK_CROSS_QEMU. Programs built this way run here
# under qemu-user, which CMake uses as the emulator, so ctest and the test
# discovery work unchanged.
#
# The target's libraries (libinih-dev, libgtest-dev, nlohmann-json3-dev, ... of the
# target architecture) come from one of two places:
#   ZELK_CROSS_SYSROOT set: a directory with the target's Debian packages unpacked
#     into it (scripts/cross-check makes one in the build directory); nothing of
#     the target is installed on the machine.
#   ZELK_CROSS_SYSROOT empty: the multiarch directories of /usr
#     (libinih-dev:<arch> and the like installed after dpkg --add-architecture).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZELK_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ZELK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZELK_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZELK_CROSS_TRIPLET})

set(ZELK_CROSS_SYSROOT "" CACHE PATH "The target's Debian packages unpacked (empty: multiarch in /usr)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELK_CROSS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_PATH} "")

if(ZELK_CROSS_SYSROOT)
  # The compiler keeps its own C library (libc6-dev-<arch>-cross) and finds the
  # other headers and libraries in the unpacked packages: their headers after its
  # own system headers, their libraries' dependencies (libgtest.so needs
  # libstdc++ ...) through -rpath-link.
  set(CMAKE_FIND_ROOT_PATH ${ZELK_CROSS_SYSROOT} /usr/${ZELK_CROSS_TRIPLET})
  set(zelk_libs "${ZELK_CROSS_SYSROOT}/usr/lib/${ZELK_CROSS_TRIPLET}")
  set(zelk_root_libs "${ZELK_CROSS_SYSROOT}/lib/${ZELK_CROSS_TRIPLET}")
  string(APPEND CMAKE_C_FLAGS_INIT " -idirafter ${ZELK_CROSS_SYSROOT}/usr/include")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${ZELK_CROSS_SYSROOT}/usr/include")
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT
           " -L${zelk_libs} -L${zelk_root_libs} -Wl,-rpath-link,${zelk_libs}:${zelk_root_libs}")
  endforeach()
  set(ENV{PKG_CONFIG_LIBDIR} "${zelk_libs}/pkgconfig:${ZELK_CROSS_SYSROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ZELK_CROSS_SYSROOT}")
  # The loader and the C library at run time both come from the same libc6 of
  # the target, the one unpacked there. A test that starts a built program as a
  # process (through binfmt_misc) needs QEMU_LD_PREFIX set to the same directory.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELK_CROSS_QEMU} -L ${ZELK_CROSS_SYSROOT})
else()
  # The cross compiler's own sysroot, then the multiarch directories of /usr.
  set(CMAKE_FIND_ROOT_PATH /usr/${ZELK_CROSS_TRIPLET} /)
  # pkg-config looks only at the target's .pc files (and the architecture-independent ones).
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ZELK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  # The target's loader and libraries are those that multiarch installed (for
  # example /lib/ld-linux-aarch64.so.1 and /lib/aarch64-linux-gnu), so qemu needs
  # no -L. With -L /usr/<triplet> the loader would come from the cross compiler's
  # own glibc build (libc6-<arch>-cross) while libc.so.6 still comes from
  # libc6:<arch>, a different build of glibc; such a pair hangs as soon as a
  # thread is started.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELK_CROSS_QEMU})
endif()
