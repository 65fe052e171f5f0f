# Shared by the Linux cross toolchain files: Debian's
# g++-<arch>-linux-gnu and its libraries under /usr/<arch>-linux-gnu, with
# tests run under qemu-user (Debian's qemu-user). The including file sets
# TARNWICK_CROSS_ARCH.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TARNWICK_CROSS_ARCH})

set(CMAKE_C_COMPILER ${TARNWICK_CROSS_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${TARNWICK_CROSS_ARCH}-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_CROSS_ARCH}-linux-gnu)
# Libraries of the target's own architecture unpacked elsewhere (zlib, from
# Debian's package for it): -DTARNWICK_CROSS_SYSROOT=<dir>.
if(TARNWICK_CROSS_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARNWICK_CROSS_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${TARNWICK_CROSS_ARCH} -L /usr/${TARNWICK_CROSS_ARCH}-linux-gnu)
