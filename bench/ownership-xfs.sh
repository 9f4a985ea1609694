#!/usr/bin/env bash
# Times the ownership index of an XFS volume of many files (100,000 by default, in folders
# of 100, made by mkfs.xfs -p from a prototype file without mounting) against xfs_db -r
# -c 'blockget -n', which walks the same btrees, inodes and folders to tell each block's
# use, as whole processes (hyperfine). The ratio is xfs_db time / owner time (1.0 or
# more: the index is built in at most xfs_db's time).
#
# Usage: bench/ownership-xfs.sh [KORVALANE_CLI]     FILES=20000 RUNS=5
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
files=${FILES:-100000}
runs=${RUNS:-5}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mkfs.xfs xfs_db; do
  command -v "$tool" >/dev/null || { echo "ownership-xfs.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "ownership-xfs.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mean() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0].mean' "$1"; }
cpu() { jq -r --arg n "$2" '[.results[] | select(.command == $n)][0] | .user + .system' "$1"; }

# Every file has the same 3 KiB of data; a folder d<N> of a hundred files f<i>.txt.
printf 'file\n%3000s' x > "$work/data"
{
  echo bench
  echo 0 0
  echo 'd--755 0 0'
  for ((i = 0; i < files; i++)); do
    (( i % 100 == 0 )) && echo "d$((i / 100)) d--755 0 0"
    echo "f$i.txt ---644 0 0 $work/data"
    (( i % 100 == 99 || i == files - 1 )) && echo '$'
  done
  echo '$'
} > "$work/proto"
image="$work/xfs.img"
# About 4 KiB of data and 512 bytes of inode a file, the 64 MiB log and room to spare.
truncate -s $((files * 6 / 1024 + 400))M "$image"
mkfs.xfs -q -f -p "$work/proto" "$image" 2>/dev/null
cat "$image" >/dev/null
sector=0  # the index is the same whichever sector is asked
echo
echo "XFS volume of $files files (mean of $runs runs, page cache warm)"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
"$cli" owner "$image" "$sector" >&2
hyperfine -N --style basic --runs "$runs" --warmup 1 --export-json "$work/build.json" \
  -n owner "$cli owner $image $sector" -n xfs_db "xfs_db -r -c 'blockget -n' $image" >&2
o=$(mean "$work/build.json" owner)
x=$(mean "$work/build.json" xfs_db)
oc=$(cpu "$work/build.json" owner)
xc=$(cpu "$work/build.json" xfs_db)
echo "$o $x $oc $xc" | awk '{ printf "index built (owner, one sector) %8.1f ms  xfs_db blockget -n %8.1f ms  ratio %5.2f  CPU %7.1f / %7.1f ms  ratio %5.2f\n", $1 * 1000, $2 * 1000, $2 / $1, $3 * 1000, $4 * 1000, $4 / $3 }'
