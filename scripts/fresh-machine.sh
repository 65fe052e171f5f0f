#!/usr/bin/env bash
# Tries the README on a fresh machine: builds a minimal Debian root with
# debootstrap (from the archive that apt is configured with here), copies a
# clean clone of this repository's HEAD into it, installs only the packages
# that the README names, and runs the README's two commands verbatim inside
# it. Exits non-zero when either fails. Needs root; takes a while and a few
# GB of disk. Not part of the test command.
#   sudo bash scripts/fresh-machine.sh [ROOT_DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/var/tmp/tarnwick-fresh-machine}

if [ "$(id -u)" != 0 ]; then
  echo "fresh-machine.sh: needs root (debootstrap, chroot)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || { apt-get update && apt-get install -y debootstrap; }

# The archive and release this machine's apt uses.
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(grep -hs -m1 -oE '^URIs: *[^ ]+' /etc/apt/sources.list.d/*.sources | awk '{ print $2 }' | head -n 1 || true)
[ -n "$mirror" ] || mirror=$(grep -hs -m1 -oE '^deb +[^ ]+' /etc/apt/sources.list | awk '{ print $2 }' | head -n 1 || true)
[ -n "$mirror" ] || { echo "fresh-machine.sh: no Debian archive found in apt's sources" >&2; exit 1; }

# What the README says, taken as it stands: the first `apt-get install ...`
# and the first two sh blocks.
readme=$(git -C "$repo" show HEAD:README.md)
install_line=$(grep -o -m1 '`apt-get install [^`]*`' <<<"$readme" | tr -d '`')
block() { awk -v want="$1" '/^```sh$/ { n++; inside = (n == want); next } /^```$/ { inside = 0 } inside' <<<"$readme"; }
first=$(block 1)
second=$(block 2)
for part in "$install_line" "$first" "$second"; do
  [ -n "$part" ] || { echo "fresh-machine.sh: README lacks the install line or a command" >&2; exit 1; }
done

unmount() {
  for m in dev/pts dev sys proc; do
    mountpoint -q "$root/$m" && umount -l "$root/$m"
  done
  return 0
}
trap unmount EXIT
unmount
rm -rf "$root"

echo "== debootstrap --variant=minbase $suite from $mirror"
start=$(date +%s)
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -n 20 "$root.debootstrap.log"; exit 1; }
echo "   $(( $(date +%s) - start )) s, $(du -sh "$root" | cut -f1)"
times=("debootstrap: $(( $(date +%s) - start )) s")

git clone --quiet --no-local "$repo" "$root/root/tarnwick"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

in_root() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 TERM=dumb /bin/bash -c "$1"; }

timed() {  # name, script
  local t0 rc
  t0=$(date +%s)
  set +e
  in_root "$2"
  rc=$?
  set -e
  echo "== $1: exit $rc, $(( $(date +%s) - t0 )) s, root now $(du -sh "$root" 2>/dev/null | cut -f1)"
  times+=("$1: $(( $(date +%s) - t0 )) s (exit $rc)")
  return $rc
}

rc=0
timed "$install_line" "apt-get update && DEBIAN_FRONTEND=noninteractive $install_line -y" || rc=1
[ $rc = 0 ] && { timed "first command" "cd /root/tarnwick && $first" || rc=1; }
[ $rc = 0 ] && { timed "second command" "set -o pipefail; cd /root/tarnwick && { $second; } 2>&1 | tee /root/second.log" || rc=1; }
echo "== packages downloaded: $(du -sh "$root/var/cache/apt/archives" | cut -f1)"
# The test command says when each of its stages starts; with the step times
# these are the figures the README quotes.
echo "== times"
printf '   %s\n' "${times[@]}"
[ -f "$root/root/second.log" ] && grep -E '^== ' "$root/root/second.log" | sed 's/^/   second command: /' || true
if [ $rc = 0 ]; then
  echo "fresh-machine.sh: both README commands passed"
else
  echo "fresh-machine.sh: FAILED" >&2
fi
exit $rc
