#!/usr/bin/env bash
# Prints performance figures: medians of whole runs timed with hyperfine,
# peak memory from /usr/bin/time, and every ratio against a baseline timed
# in the same run, next to its target. Not a test; CI doesn't run it.
#   bash bench/run.sh            (RUNS=N to change the number of runs)
# Installs hyperfine, time and, for the comparison only, iucode-tool. Where
# Debian's intel-microcode package can be downloaded, its updates laid end to
# end make a real container; it is unpacked under build-bench/, never kept
# in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-15}
jobs=$(nproc 2>/dev/null || echo 2)

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
[ -x /usr/bin/time ] || need+=(time)
command -v iucode_tool >/dev/null || need+=(iucode-tool)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then sudo=(); elif command -v sudo >/dev/null; then sudo=(sudo); else
    echo "bench: as root, run: apt-get install -y ${need[*]}" >&2; exit 1
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${need[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BENCH=ON >/dev/null
cmake --build build-bench -j "$jobs" >/dev/null
bin=$PWD/build-bench
inputs=$bin/inputs
if [ ! -f "$inputs/ZOR.dat" ] || [ ! -f "$inputs/flash16.bin" ] || [ ! -f "$inputs/aptio16.bin" ] ||
   [ ! -f "$inputs/notes64.md" ]; then
  mkdir -p "$inputs"
  "$bin/bench/make_bench_inputs" "$inputs"
fi
cd "$inputs"

# A real container: Debian's intel-microcode, from its non-free-firmware
# section, which this machine's apt sources may not list.
if [ ! -f real.bin ]; then
  (
    set -e
    mkdir -p apt/lists/partial apt/archives/partial
    . /etc/os-release
    mirror=$(grep -hs -m1 -oE '^URIs: *[^ ]+' /etc/apt/sources.list.d/*.sources | awk '{ print $2 }' | head -n 1)
    [ -n "$mirror" ] || mirror=$(grep -hs -m1 -oE '^deb +[^ ]+' /etc/apt/sources.list | awk '{ print $2 }' | head -n 1)
    echo "deb $mirror $VERSION_CODENAME non-free-firmware" >apt/sources.list
    opts=(-q -o Dir::Etc::SourceList="$PWD/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists="$PWD/apt/lists" -o Dir::Cache::Archives="$PWD/apt/archives")
    apt-get "${opts[@]}" update >/dev/null 2>&1
    (cd apt && apt-get "${opts[@]}" download intel-microcode >/dev/null 2>&1)
    dpkg-deb -x apt/intel-microcode_*.deb apt/root
    find apt/root/lib/firmware/intel-ucode -type f | LC_ALL=C sort | xargs cat >real.bin
  ) || { rm -f real.bin; echo "bench: intel-microcode can't be had here; the real-container row is skipped"; }
fi
keys=$("$bin/tarnwick" -info scan.bin | grep -c '^ |[0-9]')
[ -f "db-x$keys.txt" ] || for _ in $(seq "$keys"); do cat ZOR.dat; done >"db-x$keys.txt"

echo "== find_pattern and the candidate walk (16 MiB buffers, median of 5)"
"$bin/bench/find_pattern_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '_median' | awk '{ printf "  %-28s %8s %s ", $1, $2, $3
    for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second/) break
    for (; i <= NF; i++) printf " %s", $i
    print "" }'

# The tool as it was before the AMD scan, for the row that holds -json to
# what it cost then: built once from that commit, outside the work tree.
base_ref=${BASE_REF:-62bbf89}
base=$bin/base-$base_ref
if [ ! -x "$base/tarnwick" ] && git -C "$OLDPWD" cat-file -e "$base_ref^{commit}" 2>/dev/null; then
  rm -rf "$base-src" && git -C "$OLDPWD" worktree add -f --detach "$base-src" "$base_ref" >/dev/null 2>&1 &&
    cmake -S "$base-src" -B "$base" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$base" -j "$jobs" --target tarnwick >/dev/null
  git -C "$OLDPWD" worktree remove --force "$base-src" >/dev/null 2>&1 || true
fi

declare -A median peak
T=$bin/tarnwick
# name, command...: median wall time (ms) over $runs runs, and peak RSS (MiB)
time_it() {
  local name=$1; shift
  # -i: a run's own exit code (1 for a wrong checksum, 4 for a bad
  # option) is part of what is timed, not a failure of the benchmark.
  # Each argument quoted, so that a `sh -c "..."` script stays one argument.
  local command
  command=$(printf '%q ' "$@")
  hyperfine -N -i --style none --warmup 3 --runs "$runs" --export-csv "$bin/h.csv" -- "$command" >/dev/null 2>&1 || true
  median[$name]=$(awk -F, 'NR == 2 { printf "%.2f", $4 * 1000 }' "$bin/h.csv")
  peak[$name]=$( { /usr/bin/time -f %M "$@" >/dev/null || true; } 2>&1 | tail -n 1 | awk '{ printf "%.1f", $1 / 1024 }')
  printf '  %-48s %9s ms %9s MiB\n' "$name" "${median[$name]}" "${peak[$name]}"
}

echo
echo "== whole runs, median of $runs                       wall        peak RSS"
time_it "tarnwick -info bios.bin"            "$T" -info bios.bin
time_it "tarnwick -check bios.bin"           "$T" -check bios.bin
time_it "tarnwick -fit bios.bin"             "$T" -fit bios.bin
time_it "tarnwick -info worst.bin"           "$T" -info worst.bin
time_it "tarnwick, loading bios.bin only"    "$T" -none bios.bin
time_it "cat bios.bin"                       cat bios.bin
time_it "iucode_tool -l bios.bin"            iucode_tool -tr --no-strict-checks -l bios.bin
time_it "iucode_tool -l worst.bin"           iucode_tool -tr --no-strict-checks -l worst.bin
if [ -f real.bin ]; then
  time_it "tarnwick -info real.bin"          "$T" -info real.bin
  time_it "iucode_tool -l real.bin"          iucode_tool -tr --no-strict-checks -l real.bin
fi
time_it "tarnwick -verify bios.bin"          "$T" -verify bios.bin
time_it "tarnwick -fitcheck bios.bin"        "$T" -fitcheck bios.bin
time_it "tarnwick -json bios.bin"            "$T" -json bios.bin
[ -x "$base/tarnwick" ] && time_it "tarnwick -json bios.bin, before AMD" "$base/tarnwick" -json bios.bin
if [ -f real.bin ]; then
  ucode=$inputs/apt/root/lib/firmware/intel-ucode
  time_it "tarnwick -verify real.bin"        "$T" -verify real.bin
  time_it "tarnwick -json real.bin"          "$T" -json real.bin
  time_it "tarnwick -latest bios.bin (Debian's directory)" "$T" -latest bios.bin "$ucode"
  time_it "tarnwick -latest real.bin (Debian's directory)" "$T" -latest real.bin "$ucode"
  time_it "tarnwick -extract real.bin, fresh directory" sh -c "rm -rf '$bin/x' && '$T' -extract real.bin '$bin/x' >/dev/null"
  time_it "-info real.bin, then cp to a fresh directory" sh -c "rm -rf '$bin/c' && mkdir '$bin/c' && '$T' -info real.bin >/dev/null && cp real.bin '$bin/c/'"
fi
# A corpus: 1,000 small files, in one -json process and in 1,000 -info runs.
if [ ! -d corpus ]; then
  mkdir corpus && split -n 1000 -a 4 -d scan.bin corpus/f
fi
time_it "tarnwick -json, 1,000 files at once"  "$T" -json corpus/f*
time_it "tarnwick -info, 1,000 runs"           sh -c "for f in corpus/f*; do '$T' -info \"\$f\"; done"
time_it "tarnwick -latest flash64.bin"        "$T" -latest flash64.bin update-src
time_it "tarnwick -update flash64.bin, new file" sh -c "rm -f '$bin/u.bin' && '$T' -update flash64.bin '$bin/u.bin' update-src >/dev/null"
# The writing commands against what a user would do for the same
# durability: copy the image and flush the copy.
time_it "cp flash16.bin, then sync the copy"  sh -c "rm -f '$bin/c16.bin' && cp flash16.bin '$bin/c16.bin' && sync '$bin/c16.bin'"
time_it "tarnwick -update flash16.bin, new file" sh -c "rm -f '$bin/u16.bin' && '$T' -update flash16.bin '$bin/u16.bin' update-src >/dev/null"
time_it "tarnwick -add flash16.bin, new file" sh -c "rm -f '$bin/a16.bin' && '$T' -add flash16.bin '$bin/a16.bin' add-src.bin >/dev/null"
time_it "tarnwick -remove flash16.bin, new file" sh -c "rm -f '$bin/r16.bin' && '$T' -remove flash16.bin '$bin/r16.bin' 6F6 >/dev/null"
# An Aptio V-shaped image whose files must move for the distribution's
# updates to fit, against Debian's own directory.
if [ -f real.bin ]; then
  time_it "cp aptio16.bin, then sync the copy" sh -c "rm -f '$bin/ca.bin' && cp aptio16.bin '$bin/ca.bin' && sync '$bin/ca.bin'"
  time_it "tarnwick -update aptio16.bin (Debian's directory)" \
    sh -c "rm -f '$bin/ua.bin' && '$T' -update aptio16.bin '$bin/ua.bin' '$ucode' >/dev/null"
fi
if [ -f real.bin ]; then
  time_it "tarnwick -advisories bios.bin (Debian's gzip notes)" \
    "$T" -advisories bios.bin "$inputs/apt/root/usr/share/doc/intel-microcode/releasenote.md.gz"
fi
time_it "tarnwick -advisories bios.bin, 16 MB of crafted rows" "$T" -advisories bios.bin notes16.md
time_it "tarnwick -advisories bios.bin, 64 MB of crafted rows" "$T" -advisories bios.bin notes64.md
time_it "tarnwick -info crafted1.bin"         "$T" -info crafted1.bin
time_it "tarnwick -verify crafted1.bin"       "$T" -verify crafted1.bin
time_it "tarnwick -json crafted1.bin"         "$T" -json crafted1.bin
time_it "tarnwick -verify crafted4.bin"       "$T" -verify crafted4.bin
time_it "tarnwick -json crafted4.bin"         "$T" -json crafted4.bin
time_it "tarnwick -scan scan.bin (300 keys)" "$T" -scan scan.bin
time_it "tarnwick -scan keys2000.bin"        "$T" -scan keys2000.bin
time_it "tarnwick -scan dense.bin (1.4M keys)" "$T" -scan dense.bin
time_it "tarnwick, loading keys2000.bin only" "$T" -none keys2000.bin
time_it "tarnwick, loading dense.bin only"   "$T" -none dense.bin
time_it "LC_ALL=C wc -w ZOR.dat"             env LC_ALL=C wc -w ZOR.dat
time_it "LC_ALL=C wc -w ($keys x ZOR.dat)"   env LC_ALL=C wc -w "db-x$keys.txt"

echo
echo "== ratios                                               target"
ratio() {  # label, target, numerator, denominators (added up)...
  local label=$1 t=$2 a=${median[$3]:-} b=0 d
  shift 3
  for d in "$@"; do
    [ -n "${median[$d]:-}" ] && [ -n "$a" ] || { printf '  %-46s   (skipped)\n' "$label"; return 0; }
    b=$(awk -v x="$b" -v y="${median[$d]}" 'BEGIN { print x + y }')
  done
  awk -v a="$a" -v b="$b" -v t="$t" -v l="$label" \
    'BEGIN { r = a / b; printf "  %-46s %6.2fx  <= %sx  %s\n", l, r, t, (r <= t ? "met" : "MISSED") }'
}
ratio "-info bios / iucode_tool bios"   0.25 "tarnwick -info bios.bin"  "iucode_tool -l bios.bin"
ratio "-info worst / iucode_tool worst" 0.3  "tarnwick -info worst.bin" "iucode_tool -l worst.bin"
ratio "-info real / iucode_tool real"   0.3  "tarnwick -info real.bin"  "iucode_tool -l real.bin"
ratio "-check bios / cat bios"          0.5  "tarnwick -check bios.bin" "cat bios.bin"
ratio "-fit bios / cat bios"            0.5  "tarnwick -fit bios.bin"   "cat bios.bin"
ratio "-scan 2,000 keys / (wc -w + load)" 1.5 "tarnwick -scan keys2000.bin" \
  "LC_ALL=C wc -w ZOR.dat" "tarnwick, loading keys2000.bin only"
ratio "-scan 1.4M keys / (wc -w + load)" 1.5 "tarnwick -scan dense.bin (1.4M keys)" \
  "LC_ALL=C wc -w ZOR.dat" "tarnwick, loading dense.bin only"
ratio "-scan 300 keys / wc -w over 300 x ZOR.dat" 1 "tarnwick -scan scan.bin (300 keys)" \
  "LC_ALL=C wc -w ($keys x ZOR.dat)"
ratio "-verify bios / -info bios"       1.3  "tarnwick -verify bios.bin" "tarnwick -info bios.bin"
ratio "-verify real / -info real"       1.3  "tarnwick -verify real.bin" "tarnwick -info real.bin"
ratio "-fitcheck bios / -fit bios"      1.2  "tarnwick -fitcheck bios.bin" "tarnwick -fit bios.bin"
ratio "-json bios / -info bios"         1.5  "tarnwick -json bios.bin" "tarnwick -info bios.bin"
ratio "-json bios / -json before AMD scan" 1.2 "tarnwick -json bios.bin" "tarnwick -json bios.bin, before AMD"
ratio "-json real / -info real"         1.5  "tarnwick -json real.bin" "tarnwick -info real.bin"
ratio "-json 1,000 files / 1,000 -info runs" 1 "tarnwick -json, 1,000 files at once" "tarnwick -info, 1,000 runs"
ratio "-latest bios / -info bios"       1.5  "tarnwick -latest bios.bin (Debian's directory)" "tarnwick -info bios.bin"
ratio "-latest real / -info real"       3    "tarnwick -latest real.bin (Debian's directory)" "tarnwick -info real.bin"
ratio "-extract real / (-info real + cp)" 2  "tarnwick -extract real.bin, fresh directory" \
  "-info real.bin, then cp to a fresh directory"
ratio "-update 64 MiB / -latest on it"       3  "tarnwick -update flash64.bin, new file" "tarnwick -latest flash64.bin"
ratio "-update 16 MiB / (cp + sync)"         1.5 "tarnwick -update flash16.bin, new file" "cp flash16.bin, then sync the copy"
ratio "-add 16 MiB / (cp + sync)"            1.5 "tarnwick -add flash16.bin, new file" "cp flash16.bin, then sync the copy"
ratio "-remove 16 MiB / (cp + sync)"         1.5 "tarnwick -remove flash16.bin, new file" "cp flash16.bin, then sync the copy"
ratio "-update Aptio V 16 MiB, Debian's / (cp + sync)" 1.5 "tarnwick -update aptio16.bin (Debian's directory)" \
  "cp aptio16.bin, then sync the copy"
ratio "-advisories bios, gzip notes / -info bios" 1.3 "tarnwick -advisories bios.bin (Debian's gzip notes)" \
  "tarnwick -info bios.bin"
ratio "-advisories, crafted notes 64 MB / 16 MB" 5 "tarnwick -advisories bios.bin, 64 MB of crafted rows" \
  "tarnwick -advisories bios.bin, 16 MB of crafted rows"
# Crafted files: time against -info on the same file, and against the
# file a quarter the size (linear growth is 4x).
ratio "-verify crafted 1 MiB / -info on it" 20 "tarnwick -verify crafted1.bin" "tarnwick -info crafted1.bin"
ratio "-json crafted 1 MiB / -info on it"   30 "tarnwick -json crafted1.bin" "tarnwick -info crafted1.bin"
ratio "-verify crafted 4 MiB / 1 MiB"       5  "tarnwick -verify crafted4.bin" "tarnwick -verify crafted1.bin"
ratio "-json crafted 4 MiB / 1 MiB"         5  "tarnwick -json crafted4.bin" "tarnwick -json crafted1.bin"
image=$(( $(stat -c %s bios.bin) / 1048576 ))
worst_peak=0
for name in "tarnwick -info bios.bin" "tarnwick -check bios.bin" "tarnwick -fit bios.bin" "tarnwick -info worst.bin"; do
  worst_peak=$(awk -v a="$worst_peak" -v b="${peak[$name]}" 'BEGIN { print (b > a ? b : a) }')
done
awk -v p="$worst_peak" -v i="$image" 'BEGIN { printf "  %-46s %6.1f MiB  <= %d MiB  %s\n", "peak memory, -info/-check/-fit", p, i + 4, (p <= i + 4 ? "met" : "MISSED") }'
