#!/usr/bin/env bash
# Times the ownership index of an NTFS volume of many files (100,000 by default, made by
# mkntfs and filled through an ntfs-3g mount) against The Sleuth Kit's ifind -d for one
# sector of it, as whole processes (hyperfine): `korvalane-cli owner IMAGE SECTOR` builds
# the whole index for its one answer, ifind -d walks the MFT for its one. The ratio is
# ifind time / owner time (1.0 or more: the index is built in at most ifind's time). Then
# the time of one answer once the index is built: owner with 10,001 sectors against owner
# with one, the difference divided by 10,000. FUSE is needed to fill the volume; without
# it the script says so and stops.
#
# Usage: bench/ownership.sh [KORVALANE_CLI]     FILES=20000 RUNS=5 bench/ownership.sh
#        IMAGE=ntfs.img bench/ownership.sh   (a volume made by an earlier run: d0/e0/f0.txt ...)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
files=${FILES:-100000}
runs=${RUNS:-5}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mkntfs ntfs-3g ifind istat; do
  command -v "$tool" >/dev/null || { echo "ownership.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "ownership.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
mnt="$work/mnt"
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && { umount "$mnt" 2>/dev/null || fusermount -u "$mnt"; }
  rm -rf "$work"
}
trap cleanup EXIT
image=${IMAGE:-"$work/ntfs.img"}
if [ -z "${IMAGE:-}" ]; then
# About 1 KiB of MFT, 4 KiB of data and a share of a folder index a file, and room to spare.
truncate -s $(( (files * 12 / 1024 + 512) ))M "$image"
mkntfs -F -Q -q -c 4096 -L BENCH "$image" >/dev/null 2>&1
mkdir -p "$mnt"
if ! ntfs-3g -o no_def_opts "$image" "$mnt" 2>/dev/null; then
  echo "ownership.sh: FUSE refused the ntfs-3g mount here, so no volume of $files files can be made" >&2
  exit 1
fi
# A hundred files a folder, in folders of a hundred folders: paths of three levels.
echo "ownership.sh: making $files files..." >&2
i=0
while [ "$i" -lt "$files" ]; do
  # One folder at a time (mkdir -p asks the mount point itself, which the mount refuses).
  [ -d "$mnt/d$((i / 10000))" ] || mkdir "$mnt/d$((i / 10000))"
  d="$mnt/d$((i / 10000))/e$((i / 100 % 100))"
  mkdir "$d"
  for ((k = 0; k < 100 && i < files; k++, i++)); do printf 'file %d\n%3000s' "$i" x > "$d/f$i.txt"; done
done
umount "$mnt" 2>/dev/null || fusermount -u "$mnt"
fi
files=$(fls -r "$image" | grep -c 'f[0-9]*\.txt$')
cat "$image" >/dev/null

# A sector of the last file made, and the same cluster for ifind.
inode=$(ifind -n "/d$(((files - 1) / 10000))/e$(((files - 1) / 100 % 100))/f$((files - 1)).txt" "$image")
cluster=$(istat "$image" "$inode" | awk '/^Type: \$DATA/ { getline; print $1; exit }')
sector=$((cluster * 8))
"$cli" owner "$image" "$sector" >&2
ifind -d "$cluster" "$image" >&2

# build_ratio LABEL SOURCE: the index built by owner against ifind -d, on SOURCE.
build_ratio() {
  local label=$1 source=$2
  hyperfine -N --style basic --runs "$runs" --warmup 1 --export-json "$work/build.json" \
    -n owner "$cli owner $source $sector" -n ifind "ifind -d $cluster $source" >&2
  local o f oc fc
  o=$(mean "$work/build.json" owner)
  f=$(mean "$work/build.json" ifind)
  oc=$(cpu "$work/build.json" owner)
  fc=$(cpu "$work/build.json" ifind)
  echo "$o $f $oc $fc" | awk -v l="$label" '{ printf "index built (owner, one sector), %-11s %8.1f ms  ifind -d %8.1f ms  ratio %5.2f  CPU %5.1f / %5.1f ms  ratio %5.2f\n", l, $1 * 1000, $2 * 1000, $2 / $1, $3 * 1000, $4 * 1000, $4 / $3 }'
}
mean() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0].mean' "$1"; }
cpu() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0] | .user + .system' "$1"; }

results=$(build_ratio "image file" "$image")
# The same through a read-only loop device, where the kernel's block layer and its page
# cache serve the reads, as on a real disk.
loop=""
if [ "$(id -u)" = 0 ] && loop=$(losetup -r -f --show "$image" 2>/dev/null); then
  trap 'losetup -d "$loop" 2>/dev/null; cleanup' EXIT
  cat "$loop" >/dev/null
  results="$results
$(build_ratio "loop device" "$loop")"
else
  results="$results
(no loop device here: the loop-device line needs root and losetup)"
fi

sectors=$(seq 0 10000 | awk -v s="$sector" '{ printf "%d ", s + $1 * 8 }')
hyperfine -N --style basic --runs "$runs" --export-json "$work/answers.json" \
  -n one "$cli owner $image $sector" -n many "$cli owner $image $sectors" >&2
one=$(mean "$work/answers.json" one)
many=$(mean "$work/answers.json" many)
echo
echo "NTFS volume of $files files (mean of $runs runs, page cache warm)"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
echo "$one $many" | awk '{ printf "one answer once built             %8.4f ms  (10,001 sectors %.1f ms, one %.1f ms)\n", ($2 - $1) * 1000 / 10000, $2 * 1000, $1 * 1000 }'
