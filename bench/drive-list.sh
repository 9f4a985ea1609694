#!/usr/bin/env bash
# Times `korvalane-cli drives` of large containers, which opens each one and checks its
# tables for pointers past the file's end, against `qemu-img info` of the same file (which
# opens it through qemu's own driver and reads its header and first-level table), as whole
# processes over repeated runs, and prints the ratios (ours / peer, so 1.0 is as fast as
# the peer, less is faster). The containers, made in a temporary folder:
#   - a 1 TiB QCOW2 with every level 2 table written (preallocation=metadata: 2048 tables
#     of 64 KiB, 128 MiB of them), whole and cut short at half its tables;
#   - a 1 TiB fixed VHDX, every block present (its table of 32,768 entries);
#   - a 1 TiB sparse VMDK with every grain table written (32,768 tables of 2 KiB).
# The files are sparse: they take little room, and the page cache holds them.
#
# Usage: bench/drive-list.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=20 WARMUP=3 bench/drive-list.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-20}
warmup=${WARMUP:-3}

for tool in hyperfine jq qemu-img; do
  command -v "$tool" >/dev/null || { echo "drive-list.sh: $tool is missing (run scripts/install-deps)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "drive-list.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
qemu-img create -q -f qcow2 -o preallocation=metadata "$work/big.qcow2" 1T
# The level 2 tables follow the first-level table; half of them are kept.
cp --sparse=always "$work/big.qcow2" "$work/cut.qcow2"
truncate -s $(( (1 << 20) + 1024 * 65536 )) "$work/cut.qcow2"
qemu-img create -q -f vhdx -o subformat=fixed "$work/big.vhdx" 1T
qemu-img create -q -f vmdk -o subformat=monolithicSparse "$work/big.vmdk" 1T
"$cli" drives "$work/cut.qcow2" | grep -q 'damaged or cut short' ||
  { echo "drive-list.sh: the cut QCOW2 is not found damaged" >&2; exit 1; }

mean() { jq -r ".results[$2].mean" "$1"; }

bench() {  # bench NAME FILE
  local json="$work/bench.json"
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$json" \
    -n "korvalane-cli drives" "$cli drives $2" -n "qemu-img info" "qemu-img info $2" >&2
  awk -v n="$1" -v k="$(mean "$json" 0)" -v p="$(mean "$json" 1)" 'BEGIN {
    printf "%-32s drives %7.2f ms   qemu-img info %7.2f ms   ratio %.2f\n", n, k * 1000, p * 1000, k / p }'
}

results=$(
  bench "QCOW2 1 TiB, 2048 tables" "$work/big.qcow2"
  bench "QCOW2 1 TiB, cut short" "$work/cut.qcow2"
  bench "VHDX 1 TiB" "$work/big.vhdx"
  bench "VMDK 1 TiB, sparse" "$work/big.vmdk"
)
echo "$results"
