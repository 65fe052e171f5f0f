#!/usr/bin/env bash
# Builds and runs every test: the release build, then the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

stage() { printf '\n== %s\n' "$*"; }

stage "release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

stage "sanitizer build and tests (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"
