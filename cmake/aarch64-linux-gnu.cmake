# Cross-building for 64-bit ARM boards with Debian's cross compiler and the arm64
# libraries installed through multiarch (libinih-dev:arm64, libgtest-dev:arm64,
# ...). Programs built this way run here under qemu-user, which CMake uses as the
# emulator, so ctest and the test discovery work unchanged.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The cross compiler's own sysroot, then the multiarch directories of /usr.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the arm64 .pc files (and the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The arm64 loader and libraries are those that multiarch installed
# (/lib/ld-linux-aarch64.so.1, /lib/aarch64-linux-gnu), so qemu needs no -L. With
# -L /usr/aarch64-linux-gnu the loader would come from the cross compiler's own
# glibc build (libc6-arm64-cross) while libc.so.6 still comes from libc6:arm64, a
# different build of glibc; such a pair hangs as soon as a thread is started.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
