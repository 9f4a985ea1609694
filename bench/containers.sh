#!/usr/bin/env bash
# Times `korvalane-cli export` out of containers against the peers that read the same
# containers, as whole processes over repeated runs, and prints the throughput ratios
# (peer time / export time, so 1.0 is as fast as the peer, more is faster):
#   - from an E01 (deflate-compressed, in 64 MiB segments) against ewfexport to raw;
#   - from a QCOW2 against qemu-img dd to raw;
# each for a 200 MiB range (which the export copies in the way of this build: sector by
# sector above 50 MiB, or in 1 MiB reads where ReadSectors takes them) and a 50 MiB range
# (one read). The disk (256 MiB: a FAT32 volume whose data area is half random, half
# text) and every output live in a temporary folder; each pair of outputs is compared
# with cmp before timing.
#
# Usage: bench/containers.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=10 WARMUP=2 bench/containers.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-10}
warmup=${WARMUP:-2}

for tool in hyperfine jq mkfs.fat ewfacquire ewfexport qemu-img cmp; do
  command -v "$tool" >/dev/null || PATH="$PATH:/sbin:/usr/sbin"
  command -v "$tool" >/dev/null || { echo "containers.sh: $tool is missing (run scripts/install-deps)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "containers.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
disk="$work/disk.img"
mkfs.fat -C -F 32 -n BENCH "$disk" 262144 >/dev/null
dd if=/dev/urandom of="$disk" bs=1M seek=8 count=124 conv=notrunc status=none
{ seq 1 30000000 || true; } | head -c $((124 << 20)) | dd of="$disk" bs=1M seek=132 conv=notrunc iflag=fullblock status=none
ewfacquire -u -q -t "$work/disk" -S 64MiB -c deflate:fast -f encase6 \
  -C 1 -D bench -E 1 -e bench -N bench "$disk" >/dev/null
qemu-img convert -q -f raw -O qcow2 "$disk" "$work/disk.qcow2"
cat "$work"/disk.E* "$work/disk.qcow2" >/dev/null  # into the page cache

large=409600   # 209,715,200 bytes
small=102400   # 52,428,800 bytes: one read
start=16384    # from 8 MiB on, where the data begins

# The same bytes from both programs, first.
check() {  # check OURS PEERS
  cmp "$1" "$2" || { echo "containers.sh: $1 and $2 differ" >&2; exit 1; }
}
for count in $small $large; do
  "$cli" export --force "$work/disk.E01" $start $((start + count)) "$work/k.bin" >/dev/null
  ewfexport -u -q -f raw -t "$work/e" -o $((start * 512)) -B $((count * 512)) "$work/disk.E01" >/dev/null
  check "$work/k.bin" "$work/e.raw"
  "$cli" export --force "$work/disk.qcow2" $start $((start + count)) "$work/k.bin" >/dev/null
  # qemu-img dd counts the skipped blocks in its count.
  qemu-img dd -f qcow2 -O raw bs=512 skip=$start count=$((start + count)) if="$work/disk.qcow2" of="$work/q.raw"
  check "$work/k.bin" "$work/q.raw"
done

mean() { jq -r ".results[$2].mean" "$1"; }
cpu() { jq -r ".results[$2].user + .results[$2].system" "$1"; }

bench() {  # bench NAME OURS PEER
  local name=$1 json="$work/bench.json"
  # Each run writes a new file: truncating the last run's, which the kernel may still be
  # writing back, would wait for it (qemu-img syncs its output before it ends, the others
  # do not).
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$json" \
    --prepare "rm -f $work/k.bin $work/e.raw $work/q.raw" \
    -n "korvalane-cli export" "$2" -n "peer" "$3" >&2
  awk -v n="$name" -v k="$(mean "$json" 0)" -v p="$(mean "$json" 1)" -v kc="$(cpu "$json" 0)" -v pc="$(cpu "$json" 1)" 'BEGIN {
    printf "%-40s export %8.1f ms   peer %8.1f ms   ratio %.2f   (CPU time: %.1f / %.1f ms, ratio %.2f)\n",
      n, k * 1000, p * 1000, p / k, kc * 1000, pc * 1000, pc / kc }'
}

export_cmd() {  # export_cmd SOURCE COUNT
  echo "$cli export --force $1 $start $((start + $2)) $work/k.bin"
}
results=$(
  bench "E01 200 MiB vs ewfexport" "$(export_cmd "$work/disk.E01" $large)" \
    "ewfexport -u -q -f raw -t $work/e -o $((start * 512)) -B $((large * 512)) $work/disk.E01"
  bench "E01 50 MiB (one read) vs ewfexport" "$(export_cmd "$work/disk.E01" $small)" \
    "ewfexport -u -q -f raw -t $work/e -o $((start * 512)) -B $((small * 512)) $work/disk.E01"
  bench "QCOW2 200 MiB vs qemu-img dd" "$(export_cmd "$work/disk.qcow2" $large)" \
    "qemu-img dd -f qcow2 -O raw bs=1M skip=8 count=208 if=$work/disk.qcow2 of=$work/q.raw"
  bench "QCOW2 50 MiB (one read) vs qemu-img dd" "$(export_cmd "$work/disk.qcow2" $small)" \
    "qemu-img dd -f qcow2 -O raw bs=1M skip=8 count=58 if=$work/disk.qcow2 of=$work/q.raw"
)

echo
echo "Throughput (mean of $runs runs, page cache warm; ratio = peer time / export time):"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
