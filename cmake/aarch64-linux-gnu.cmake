# Cross-compiles for ARM64 Linux with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(TARNWICK_CROSS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
