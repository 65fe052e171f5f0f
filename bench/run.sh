#!/usr/bin/env bash
# Prints performance figures: medians over several runs of whole processes,
# with the baselines measured in the same run. Not a test; CI doesn't run it.
#   bash bench/run.sh            (RUNS=N to change the number of runs)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-9}
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v iucode_tool >/dev/null; then
  # The peer, installed for the comparison only.
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq iucode-tool >/dev/null
  else
    echo "bench: iucode_tool is missing (Debian package iucode-tool); its rows are skipped" >&2
  fi
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j "$jobs" >/dev/null
bin=$PWD/build-bench
inputs=$bin/inputs
if [ ! -f "$inputs/ZOR.dat" ]; then
  mkdir -p "$inputs"
  "$bin/bench/make_bench_inputs" "$inputs"
fi
cd "$inputs"
keys=$("$bin/tarnwick" -info scan.bin | grep -c '^ |[0-9]')
[ -f "db-x$keys.txt" ] || for _ in $(seq "$keys"); do cat ZOR.dat; done >"db-x$keys.txt"

echo "== find_pattern throughput (16 MiB buffers, median of 5)"
"$bin/bench/find_pattern_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '_median' | awk '{ printf "  %-28s %8s %s  %s %s\n", $1, $2, $3, $(NF-1), $NF }'

echo
echo "== whole runs, median of $runs (64 MiB inputs)       wall        peak RSS"
m() { "$bin/bench/measure" "$runs" "$@"; }
declare -A ms
row() {
  local key=$1; shift
  local line
  line=$(m "$@") || { echo "  $1: failed"; return; }
  echo "  $line"
  ms[$key]=$(awk '{ for (i = 1; i <= NF; i++) if ($(i+1) == "ms") { print $i; exit } }' <<<"$line")
}
T=$bin/tarnwick
row info     "tarnwick -info bios.bin"            -- "$T" -info bios.bin
row check    "tarnwick -check bios.bin"           -- "$T" -check bios.bin
row fit      "tarnwick -fit bios.bin"             -- "$T" -fit bios.bin
row worst    "tarnwick -info worst.bin"           -- "$T" -info worst.bin
row scan     "tarnwick -scan ($keys keys, 10k db)"  -- "$T" -scan scan.bin
row load     "tarnwick, load only (bad option)"   -- "$T" -none bios.bin
row cat      "cat bios.bin"                       -- cat bios.bin
if command -v iucode_tool >/dev/null; then
  row peer     "iucode_tool -tr -l bios.bin"      -- iucode_tool -tr --no-strict-checks -l bios.bin
  row peerw    "iucode_tool -tr -l worst.bin"     -- iucode_tool -tr --no-strict-checks -l worst.bin
fi
row wc       "LC_ALL=C wc -w ($keys x db)"        -- env LC_ALL=C wc -w "db-x$keys.txt"

echo
echo "== ratios (target in brackets)"
ratio() { [ -n "${ms[$2]:-}" ] && [ -n "${ms[$3]:-}" ] &&
  awk -v a="${ms[$2]}" -v b="${ms[$3]}" -v t="$4" -v l="$1" \
    'BEGIN { r = a / b; printf "  %-42s %6.2fx  [<= %s]  %s\n", l, r, t, (r <= t ? "met" : "MISSED") }'; }
ratio "-info bios / iucode_tool bios"   info peer  0.5 || true
ratio "-info worst / iucode_tool worst" worst peerw 2 || true
ratio "-check bios / cat bios"          check cat  3 || true
ratio "-scan / wc -w"                   scan wc    1 || true
echo "  peak memory target: image (64 MiB) + 8 MiB = 72 MiB for every command"
