#!/usr/bin/env bash
# Times `korvalane-cli hash` (SHA-256, MD5, and the three digests at once) of a 200 MiB
# range against sha256sum (md5sum; md5sum, sha1sum and sha256sum fed side by side by tee)
# over the same bytes read by `dd bs=1M` through a pipe, as whole processes over
# repeated runs (hyperfine, forwards and backwards, the two taken together), and prints the
# ratio (peer time / hash time, so 1.0 is as fast as the peer). The image (256 MiB, random
# behind a FAT32 boot sector) lives in a temporary folder and is read from the page cache.
#
# Usage: bench/hash.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=10 WARMUP=2 bench/hash.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-10}
warmup=${WARMUP:-2}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mkfs.fat dd sha256sum md5sum; do
  command -v "$tool" >/dev/null || { echo "hash.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "hash.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image="$work/volume.img"
mkfs.fat -C -F 32 -n BENCH "$image" 262144 >/dev/null
dd if=/dev/urandom of="$image" bs=1M seek=8 count=248 conv=notrunc status=none
cat "$image" >/dev/null
sectors=409600  # 200 MiB: past the one-read limit, so the 1 MiB chunks are timed

# The same digest first.
k=$("$cli" hash "$image" 0 "$sectors" | sed 's/.* = //')
d=$(dd if="$image" bs=1M count=200 status=none | sha256sum | cut -d' ' -f1)
[ "$k" = "$d" ] || { echo "hash.sh: the digests differ ($k, $d)" >&2; exit 1; }

stat() {  # stat JSON NAME FIELD
  jq -r --arg n "$2" "[.results[] | select(.command == \$n)][0].$3" "$1"
}

# bench LABEL HASH_COMMAND PEER_COMMAND: one line with both means and the ratio.
bench() {
  local label=$1 mine=$2 peer=$3
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$work/f.json" \
    -n mine "$mine" -n peer "sh -c '$peer'" >&2
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$work/b.json" \
    -n peer "sh -c '$peer'" -n mine "$mine" >&2
  local km pm kf pf
  km=$(echo "$(stat "$work/f.json" mine mean) $(stat "$work/b.json" mine mean)" | awk '{ print ($1 + $2) / 2 }')
  pm=$(echo "$(stat "$work/f.json" peer mean) $(stat "$work/b.json" peer mean)" | awk '{ print ($1 + $2) / 2 }')
  kf=$(echo "$(stat "$work/f.json" mine min) $(stat "$work/b.json" mine min)" | awk '{ print ($1 < $2 ? $1 : $2) }')
  pf=$(echo "$(stat "$work/f.json" peer min) $(stat "$work/b.json" peer min)" | awk '{ print ($1 < $2 ? $1 : $2) }')
  echo "$km $pm $kf $pf" | awk -v l="$label" '{
    printf "%-34s hash %7.1f ms  peer %7.1f ms  ratio %5.2f  fastest %5.2f\n", l, $1 * 1000, $2 * 1000, $2 / $1, $4 / $3 }'
}

results=$(
  bench "SHA-256 of 200 MiB vs sha256sum" "$cli hash $image 0 $sectors" \
    "dd if=$image bs=1M count=200 status=none | sha256sum"
  bench "MD5 of 200 MiB vs md5sum" "$cli hash --md5 $image 0 $sectors" \
    "dd if=$image bs=1M count=200 status=none | md5sum"
  # tee hands every block to the three tools, each a process of its own.
  bench "MD5+SHA-1+SHA-256 vs tee x3" "$cli hash --md5 --sha1 --sha256 $image 0 $sectors" \
    "( ( dd if=$image bs=1M count=200 status=none | tee /dev/fd/3 /dev/fd/4 | sha256sum ) 3>&1 >/dev/null | md5sum >/dev/null ) 4>&1 >/dev/null | sha1sum"
)
echo
echo "hash against dd bs=1M | sha256sum / md5sum / tee to the three (mean of $runs runs, page cache warm; ratio = peer time / hash time):"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
