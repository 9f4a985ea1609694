#!/usr/bin/env bash
# Times the ownership index of an ext volume of many files (100,000 by default, in folders
# of 100, made by mke2fs -d without mounting; a tenth of them deleted by debugfs rm, which
# leaves their block maps) against The Sleuth Kit's ifind -d for one block of it, as whole
# processes (hyperfine). Both read every inode table of the volume: ifind -d to find the
# inode that holds the block, owner to name the deleted inodes whose maps still point at
# blocks, besides walking the folders. The ratio is ifind time / owner time.
#
# Usage: bench/ownership-ext.sh [KORVALANE_CLI]     FILES=20000 RUNS=5 KINDS="ext2 ext4"
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
files=${FILES:-100000}
runs=${RUNS:-5}
kinds=${KINDS:-"ext2 ext3 ext4"}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mke2fs debugfs ifind; do
  command -v "$tool" >/dev/null || { echo "ownership-ext.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "ownership-ext.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mean() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0].mean' "$1"; }
cpu() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0] | .user + .system' "$1"; }

echo "ownership-ext.sh: making $files files..." >&2
for ((i = 0; i < files; i++)); do
  (( i % 100 == 0 )) && mkdir -p "$work/files/d$((i / 100))"
  printf 'file %d\n%3000s' "$i" x > "$work/files/d$((i / 100))/f$i.txt"
done
for ((i = 0; i < files; i += 10)); do echo "rm d$((i / 100))/f$i.txt"; done > "$work/delete.debugfs"

echo
echo "ext volumes of $files files, a tenth deleted (mean of $runs runs, page cache warm)"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
for kind in $kinds; do
  image="$work/$kind.img"
  # About 4 KiB of data and 256 bytes of inode a file, and room to spare.
  mke2fs -q -F -t "$kind" -b 4096 -N $((files + 1000)) -d "$work/files" "$image" $((files * 6 / 1024 + 64))M
  debugfs -w -f "$work/delete.debugfs" "$image" >/dev/null 2>&1
  last=$((files - 1))
  block=$(debugfs -R "blocks d$((last / 100))/f$last.txt" "$image" 2>/dev/null | awk '{ print $1 }')
  sector=$((block * 8))
  cat "$image" >/dev/null
  "$cli" owner "$image" "$sector" >&2
  ifind -d "$block" "$image" >&2
  hyperfine -N --style basic --runs "$runs" --warmup 1 --export-json "$work/build.json" \
    -n owner "$cli owner $image $sector" -n ifind "ifind -d $block $image" >&2
  o=$(mean "$work/build.json" owner)
  f=$(mean "$work/build.json" ifind)
  oc=$(cpu "$work/build.json" owner)
  fc=$(cpu "$work/build.json" ifind)
  echo "$o $f $oc $fc" | awk -v k="$kind" '{ printf "%s: index built (owner, one sector) %8.1f ms  ifind -d %8.1f ms  ratio %5.2f  CPU %7.1f / %7.1f ms  ratio %5.2f\n", k, $1 * 1000, $2 * 1000, $2 / $1, $3 * 1000, $4 * 1000, $4 / $3 }'
  rm -f "$image"
done
