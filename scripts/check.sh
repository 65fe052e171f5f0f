#!/usr/bin/env bash
# Builds and runs every test: the release build, the end-to-end tests again
# against the Windows build under Wine, the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, then a bounded fuzzing run.
# FUZZ_SECONDS shortens or lengthens the fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

stage() { printf '\n== %s\n' "$*"; }

# What a fresh machine lacks: the Windows cross-compiler and Wine.
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine wine64)
command -v clang++ >/dev/null || missing+=(clang libclang-rt-14-dev)
if [ ${#missing[@]} -gt 0 ]; then
  stage "installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

stage "release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

stage "Windows build (MinGW-w64, static) and the end-to-end tests under Wine"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build-win -j "$jobs"
# A prefix of its own, without the .NET and HTML runtimes that a new prefix
# would otherwise offer to download.
export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 wineboot -i >/dev/null 2>&1 || true
TARNWICK_COMMAND="wine '$PWD/build-win/tarnwick.exe'" TARNWICK_CRLF=1 \
  ctest --test-dir build --output-on-failure -L e2e
wineserver -k 2>/dev/null || true

stage "sanitizer build and tests (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

stage "fuzzing all four commands for ${FUZZ_SECONDS:-60} s (libFuzzer, address, undefined, leaks)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_commands make_fuzz_seeds
rm -rf build-fuzz/seeds build-fuzz/corpus
mkdir -p build-fuzz/seeds build-fuzz/corpus
build-fuzz/tests/make_fuzz_seeds build-fuzz/seeds
# Crash inputs land in build-fuzz/ as crash-*; any finding exits non-zero.
build-fuzz/tests/fuzz_commands -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
  build-fuzz/corpus build-fuzz/seeds tests/fuzz/regressions 2>&1 | tail -n 12
