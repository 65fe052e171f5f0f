# Cross-compiles for big-endian s390x Linux with Debian's
# g++-s390x-linux-gnu:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(TARNWICK_CROSS_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
