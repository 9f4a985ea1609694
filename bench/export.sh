#!/usr/bin/env bash
# Times `korvalane-cli export` against dd reading the same cached image, as whole
# processes over repeated runs, and prints the throughput ratios (dd time / export time,
# so 1.0 is as fast as dd):
#   - a 50 MiB range, which the export copies with one read, against dd bs=1M;
#   - a 200 MiB range, which it copies sector by sector (opening and closing the image
#     for every sector), against dd bs=512.
# Then the peak memory of both exports (GNU time). The image (a FAT32 volume of 256 MiB
# whose data area is random) and the output files live in a temporary folder.
#
# Usage: bench/export.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=20 WARMUP=3 bench/export.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-15}
warmup=${WARMUP:-3}

for tool in hyperfine jq mkfs.fat dd cmp; do
  command -v "$tool" >/dev/null || PATH="$PATH:/sbin:/usr/sbin"
  command -v "$tool" >/dev/null || { echo "export.sh: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "export.sh: /usr/bin/time is missing (package time)" >&2; exit 1; }
[ -x "$cli" ] || { echo "export.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image="$work/volume.img"
mkfs.fat -C -F 32 -n BENCH "$image" 262144 >/dev/null
# Random data behind the boot sector and the FATs, so that every page is real.
dd if=/dev/urandom of="$image" bs=1M seek=8 count=248 conv=notrunc status=none
cat "$image" >/dev/null  # into the page cache

small=102400   # 52,428,800 bytes: one read
large=409600   # 209,715,200 bytes: sector by sector

# Check first that both programs produce the same bytes.
"$cli" export --force "$image" 0 "$small" "$work/k50.bin" >/dev/null
dd if="$image" of="$work/d50.bin" bs=1M count=50 status=none
cmp "$work/k50.bin" "$work/d50.bin"
"$cli" export --force "$image" 0 "$large" "$work/k200.bin" >/dev/null
dd if="$image" of="$work/d200.bin" bs=512 count="$large" status=none
cmp "$work/k200.bin" "$work/d200.bin"

mean() {  # mean JSON INDEX: wall-clock seconds
  jq -r ".results[$2].mean" "$1"
}
cpu() {  # cpu JSON INDEX: user + system seconds, steadier than the wall clock on a busy machine
  jq -r ".results[$2].user + .results[$2].system" "$1"
}

bench() {  # bench NAME EXPORT_COMMAND DD_COMMAND
  local name=$1 json="$work/$1.json"
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$json" \
    -n "korvalane-cli export" "$2" -n "dd" "$3" >&2
  local k d kc dc
  k=$(mean "$json" 0)
  d=$(mean "$json" 1)
  kc=$(cpu "$json" 0)
  dc=$(cpu "$json" 1)
  awk -v n="$name" -v k="$k" -v d="$d" -v kc="$kc" -v dc="$dc" 'BEGIN {
    printf "%-34s export %8.1f ms   dd %8.1f ms   ratio %.2f   (CPU time: %.1f / %.1f ms, ratio %.2f)\n",
      n, k * 1000, d * 1000, d / k, kc * 1000, dc * 1000, dc / kc }'
}

results=$(
  bench "50 MiB, one read vs dd bs=1M" \
    "$cli export --force $image 0 $small $work/k50.bin" \
    "dd if=$image of=$work/d50.bin bs=1M count=50 status=none"
  bench "200 MiB, per sector vs dd bs=512" \
    "$cli export --force $image 0 $large $work/k200.bin" \
    "dd if=$image of=$work/d200.bin bs=512 count=$large status=none"
)

peak() {  # peak START END: maximum resident set size in KiB
  /usr/bin/time -v "$cli" export --force "$image" "$1" "$2" "$work/peak.bin" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}

echo
echo "Throughput (mean of $runs runs, page cache warm; ratio = dd time / export time):"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
echo
echo "Peak memory (maximum resident set size):"
echo "  50 MiB export:  $(peak 0 "$small") KiB"
echo "  200 MiB export: $(peak 0 "$large") KiB"
