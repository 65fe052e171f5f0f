#!/usr/bin/env bash
# Builds and runs every test: the release build and its tests, the Debian
# package (installed and removed again, where this runs as root), the
# end-to-end tests against the Windows build under Wine and against the
# ARM64 and s390x builds under qemu-user (their unit tests too), the whole
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, then a
# bounded fuzzing run. Installs what it needs with apt-get first.
# FUZZ_SECONDS shortens or lengthens the fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
stage() { printf '\n== %s (at %d s)\n' "$*" "$SECONDS"; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Each tool is checked by what it must do, not by its name alone.
compiles() {  # compiler, flags...: builds a tiny C++20 program
  local cxx=$1; shift
  printf '#include <span>\nint main() { return std::span<int>().size(); }\n' >"$tmp/t.cpp"
  "$cxx" -std=c++20 "$@" "$tmp/t.cpp" -o "$tmp/t" >/dev/null 2>&1
}
fuzzer_links() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$tmp/f.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$tmp/f.cpp" -o "$tmp/f" >/dev/null 2>&1
}
gtest_found() {
  mkdir -p "$tmp/gt"
  printf 'cmake_minimum_required(VERSION 3.20)\nproject(t CXX)\nfind_package(GTest REQUIRED)\n' >"$tmp/gt/CMakeLists.txt"
  cmake -S "$tmp/gt" -B "$tmp/gt/build" >/dev/null 2>&1 && [ -f /usr/src/googletest/CMakeLists.txt ]
}
missing=()
want() {  # package..., then -- and the check
  local pkgs=()
  while [ "$1" != -- ]; do pkgs+=("$1"); shift; done
  shift
  "$@" >/dev/null 2>&1 || missing+=("${pkgs[@]}")
}
probe() {
  missing=()
  want cmake -- cmake --version
  want g++ -- compiles g++
  want libgtest-dev googletest -- gtest_found
  want man-db -- man --version
  want file -- file --version
  want dpkg-dev -- dpkg-shlibdeps --version
  want g++-mingw-w64-x86-64-posix -- compiles x86_64-w64-mingw32-g++-posix -static
  want wine wine64 -- wine --version
  want g++-aarch64-linux-gnu -- compiles aarch64-linux-gnu-g++
  want g++-s390x-linux-gnu -- compiles s390x-linux-gnu-g++
  want qemu-user -- qemu-aarch64 --version
  want qemu-user -- qemu-s390x --version
  want clang libclang-rt-14-dev -- fuzzer_links
}

probe
if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  if [ "$(id -u)" = 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "check.sh: missing packages; as root, run: apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  stage "installing ${missing[*]}"
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  probe
  if [ ${#missing[@]} -gt 0 ]; then
    echo "check.sh: still not working after the install: ${missing[*]}" >&2
    exit 1
  fi
fi

stage "release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

stage "Debian package"
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/tarnwick_*.deb)
echo "$deb"
if [ "$(id -u)" = 0 ] || command -v sudo >/dev/null; then
  [ "$(id -u)" = 0 ] && as_root=() || as_root=(sudo)
  "${as_root[@]}" dpkg -i "$deb"
  /usr/bin/tarnwick -info /usr/share/doc/tarnwick/examples/container.bin
  man -w tarnwick
  "${as_root[@]}" dpkg -r tarnwick
else
  echo "(not installed: needs root or sudo)"
fi

stage "Windows build (MinGW-w64, static) and the end-to-end tests under Wine"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$jobs"
# A prefix of its own, without the .NET and HTML runtimes that a new prefix
# would otherwise offer to download.
export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 wineboot -i >/dev/null 2>&1 || true
TARNWICK_COMMAND="wine '$PWD/build-win/tarnwick.exe'" TARNWICK_CRLF=1 \
  ctest --test-dir build --output-on-failure -L e2e
wineserver -k 2>/dev/null || true

for arch in aarch64 s390x; do
  stage "$arch build, its unit tests and the end-to-end tests under qemu-$arch"
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-linux-gnu.cmake" -DBUILD_TESTING=ON \
    -DTARNWICK_GTEST_SOURCE=/usr/src/googletest >/dev/null
  cmake --build "build-$arch" -j "$jobs"
  file "build-$arch/tarnwick"
  ctest --test-dir "build-$arch" --output-on-failure -j "$jobs" -LE e2e
  TARNWICK_COMMAND="qemu-$arch -L /usr/$arch-linux-gnu '$PWD/build-$arch/tarnwick'" \
    ctest --test-dir build --output-on-failure -j "$jobs" -L e2e
done

stage "sanitizer build and tests (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

stage "fuzzing all four commands for ${FUZZ_SECONDS:-60} s (libFuzzer, address, undefined, leaks)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_commands make_fuzz_seeds
rm -rf build-fuzz/seeds build-fuzz/corpus
mkdir -p build-fuzz/seeds build-fuzz/corpus
build-fuzz/tests/make_fuzz_seeds build-fuzz/seeds
# Crash inputs land in build-fuzz/ as crash-*; any finding exits non-zero.
build-fuzz/tests/fuzz_commands -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
  build-fuzz/corpus build-fuzz/seeds tests/fuzz/regressions 2>&1 | tail -n 12
printf '\n== all stages passed (%d s)\n' "$SECONDS"
