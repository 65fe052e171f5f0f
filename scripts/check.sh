#!/usr/bin/env bash
# Builds and runs every test. Installs what it needs with apt-get first.
#   bash scripts/check.sh            every stage, in this order
#   bash scripts/check.sh STAGE...   only those stages, each building what it
#                                    needs first
# Stages:
#   release   the release build and all its tests
#   package   the Debian package: built, checked by lintian (any error fails),
#             and where this runs as root (or with sudo) installed, run and
#             removed again
#   wine      the Windows build, and the end-to-end tests against it under Wine
#   aarch64   the ARM64 build, its unit tests and the end-to-end tests under
#             qemu-aarch64
#   s390x     the same for big-endian s390x
#   sanitize  the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz      a bounded libFuzzer run over every command (FUZZ_SECONDS, 60)
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(release package wine aarch64 s390x sanitize fuzz)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
for s in "${stages[@]}"; do
  [[ " ${all_stages[*]} " == *" $s "* ]] || { echo "check.sh: no stage '$s'; stages: ${all_stages[*]}" >&2; exit 2; }
done

jobs=$(nproc 2>/dev/null || echo 2)
stage() { printf '\n== %s (at %d s)\n' "$*" "$SECONDS"; }
tmp=$(mktemp -d)
cleanup() {
  [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Each tool is checked by what it must do, not by its name alone.
compiles() {  # compiler, flags...: builds a tiny C++20 program
  local cxx=$1; shift
  printf '#include <span>\nint main() { return std::span<int>().size(); }\n' >"$tmp/t.cpp"
  "$cxx" -std=c++20 "$@" "$tmp/t.cpp" -o "$tmp/t" >/dev/null 2>&1
}
zlib_links() {  # compiler, flags...: links a tiny program against zlib
  local cxx=$1; shift
  printf '#include <zlib.h>\nint main() { return zlibVersion()[0] == 0; }\n' >"$tmp/z.cpp"
  "$cxx" -std=c++20 "$@" "$tmp/z.cpp" -o "$tmp/z" -lz >/dev/null 2>&1
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
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }
probe() {
  missing=()
  # Every stage builds the native tool, and the end-to-end tests run natively.
  want cmake -- cmake --version
  want g++ -- compiles g++
  # zlib reads gzip release notes (-advisories), in every build.
  want zlib1g-dev -- zlib_links g++
  want libgtest-dev googletest -- gtest_found
  want jq -- jq --version
  if wants release || wants sanitize; then
    want parallel -- parallel --version
    # The peer parser that -update's new images are read with.
    want uefitool-cli -- sh -c 'command -v UEFIExtract'
  fi
  if wants release || wants sanitize; then want man-db -- man --version; fi
  if wants package; then
    want file -- file --version
    want dpkg-dev -- dpkg-shlibdeps --version
    want lintian -- lintian --version
  fi
  if wants wine; then
    want g++-mingw-w64-x86-64-posix -- compiles x86_64-w64-mingw32-g++-posix -static
    want libz-mingw-w64-dev -- zlib_links x86_64-w64-mingw32-g++-posix -static
    want wine wine64 -- wine --version
  fi
  if wants aarch64; then
    want g++-aarch64-linux-gnu -- compiles aarch64-linux-gnu-g++
    want qemu-user -- qemu-aarch64 --version
  fi
  if wants s390x; then
    want g++-s390x-linux-gnu -- compiles s390x-linux-gnu-g++
    want qemu-user -- qemu-s390x --version
  fi
  if wants fuzz; then want clang libclang-rt-14-dev -- fuzzer_links; fi
  if wants aarch64 || wants s390x; then want file -- file --version; fi
}

# Root installs itself; a user installs through sudo only where sudo works
# without asking (a user who may not use it would wait at a prompt that
# never succeeds). Anyone else is told the line to run as root, at once.
probe
if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  if [ "$(id -u)" = 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
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

# ctest says only "Skipped" for a skipped test; its reason is in the log.
skip_reasons() {  # build directory
  local log="$1/Testing/Temporary/LastTest.log"
  [ -f "$log" ] || return 0
  awk '/: Skipped$/ { getline reason } /^\[  SKIPPED \] [^ ]+ \(/ { print "   skipped " $4 ": " reason }' "$log" | sort -u
}

native_built=
native_build() {  # the release build, with its tests, once per run
  [ -z "$native_built" ] || return 0
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
  cmake --build build -j "$jobs"
  native_built=1
}

stage_release() {
  stage "release build and tests"
  native_build
  ctest --test-dir build --output-on-failure -j "$jobs"
  skip_reasons build
}

stage_package() {
  stage "Debian package"
  native_build
  rm -f build/tarnwick_*.deb  # an earlier version's package would be taken for this one
  (cd build && cpack -G DEB >/dev/null)
  local deb as_root
  deb=$(ls build/tarnwick_*.deb)
  echo "$deb"
  # Any error lintian reports fails the stage (a changelog entry without a
  # new date, say); warnings are printed.
  local report lint=0
  report=$(lintian --fail-on error "$deb" 2>&1) || lint=$?
  printf '%s\n' "$report" | grep -v '^running with root privileges' || true
  [ "$lint" = 0 ] || { echo "check.sh: lintian reports errors on $deb" >&2; exit 1; }
  if [ "$(id -u)" = 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    echo "(not installed: needs root or sudo)"
    return 0
  fi
  "${as_root[@]}" dpkg -i "$deb"
  /usr/bin/tarnwick -info /usr/share/doc/tarnwick/examples/container.bin
  man -w tarnwick
  "${as_root[@]}" dpkg -r tarnwick
}

stage_wine() {
  stage "Windows build (MinGW-w64, static) and the end-to-end tests under Wine"
  native_build
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
  cmake --build build-win -j "$jobs"
  # A prefix of its own, and Wine's desktop files, caches and settings, all
  # under the build tree; no .NET or HTML runtimes offered for download, no
  # menu entries made.
  local home=$PWD/build-win/home
  mkdir -p "$home/config" "$home/data" "$home/cache"
  export WINEDEBUG=-all WINEPREFIX="$PWD/build-win/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
  # wineserver otherwise ends a moment after its last client, and a test
  # that starts wine in that moment loses its connection to it. The server
  # that wineboot started is let finish setting up the prefix and end by
  # itself first (killing it can leave the prefix half made); a second
  # server would not start beside it.
  wineserver -w 2>/dev/null || true
  wineserver -p >/dev/null 2>&1 </dev/null
  # Rarely (2 runs in about 30 here, once on a new prefix) wine itself ends
  # with 1 and no output at all, in a different test each time, without any
  # word on standard error. A test that fails is run once more; its failed
  # run stays in the log, with the harness's account of the tool's last
  # run, and a fault of the tool fails twice.
  TARNWICK_COMMAND="wine '$PWD/build-win/tarnwick.exe'" TARNWICK_CRLF=1 \
    ctest --test-dir build --output-on-failure -L e2e --repeat until-pass:2
  skip_reasons build
  wineserver -k 2>/dev/null || true
  unset WINEPREFIX
}

# The cross builds link zlib statically from Debian's own package for their
# architecture, unpacked under build-deps/<arch>: nothing of a foreign
# architecture gets installed, but apt must list that architecture's
# packages to download one, which takes root once.
cross_zlib() {  # arch
  local arch=$1 deb_arch root
  case $arch in aarch64) deb_arch=arm64 ;; *) deb_arch=$arch ;; esac
  root=$PWD/build-deps/$arch
  [ -f "$root/usr/include/zlib.h" ] && return 0
  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      echo "check.sh: zlib for $arch is missing; as root, run: dpkg --add-architecture $deb_arch && apt-get update" >&2
      return 1
    fi
  fi
  if ! dpkg --print-foreign-architectures | grep -qx "$deb_arch"; then
    "${sudo[@]}" dpkg --add-architecture "$deb_arch"
    "${sudo[@]}" apt-get update -q >/dev/null
  fi
  mkdir -p "$tmp/zlib-$arch"
  (cd "$tmp/zlib-$arch" && apt-get download -q "zlib1g-dev:$deb_arch" >/dev/null 2>&1) ||
    { echo "check.sh: could not download zlib1g-dev:$deb_arch" >&2; return 1; }
  rm -rf "$root" && mkdir -p "$root"
  dpkg-deb -x "$tmp/zlib-$arch"/zlib1g-dev_*.deb "$root"
}

stage_cross() {  # arch
  local arch=$1
  stage "$arch build, its unit tests and the end-to-end tests under qemu-$arch"
  native_build
  cross_zlib "$arch"
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-linux-gnu.cmake" -DBUILD_TESTING=ON \
    -DTARNWICK_GTEST_SOURCE=/usr/src/googletest -DTARNWICK_CROSS_SYSROOT="$PWD/build-deps/$arch" >/dev/null
  cmake --build "build-$arch" -j "$jobs"
  file "build-$arch/tarnwick"
  ctest --test-dir "build-$arch" --output-on-failure -j "$jobs" -LE e2e
  skip_reasons "build-$arch"
  TARNWICK_COMMAND="qemu-$arch -L /usr/$arch-linux-gnu '$PWD/build-$arch/tarnwick'" \
    ctest --test-dir build --output-on-failure -j "$jobs" -L e2e
  skip_reasons build
}
stage_aarch64() { stage_cross aarch64; }
stage_s390x() { stage_cross s390x; }

stage_sanitize() {
  stage "sanitizer build and tests (address, undefined)"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
  skip_reasons build-asan
}

stage_fuzz() {
  stage "fuzzing every command for ${FUZZ_SECONDS:-60} s (libFuzzer, address, undefined, leaks)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON >/dev/null
  cmake --build build-fuzz -j "$jobs" --target fuzz_commands make_fuzz_seeds
  rm -rf build-fuzz/seeds build-fuzz/corpus
  mkdir -p build-fuzz/seeds build-fuzz/corpus
  build-fuzz/tests/make_fuzz_seeds build-fuzz/seeds
  # Crash inputs land in build-fuzz/ as crash-*; any finding exits non-zero.
  build-fuzz/tests/fuzz_commands -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
    build-fuzz/corpus build-fuzz/seeds tests/fuzz/regressions 2>&1 | tail -n 12
}

for s in "${stages[@]}"; do
  "stage_$s"
done
printf '\n== all stages passed: %s (%d s)\n' "${stages[*]}" "$SECONDS"
