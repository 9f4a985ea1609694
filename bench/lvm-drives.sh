#!/usr/bin/env bash
# Times `korvalane-cli drives` of an LVM2 PV carrying 100 linear LVs (made by pvcreate,
# vgcreate and vgcfgrestore on a loop device, so as root) against `drives` of an image of
# the same size without a PV, as whole processes over repeated runs, and prints what the
# LVs add (target: under 5 ms) and the ratio of the two.
#
# Usage: bench/lvm-drives.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=40 WARMUP=5 bench/lvm-drives.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-40}
warmup=${WARMUP:-5}
export LVM_SUPPRESS_FD_WARNINGS=1 PATH="$PATH:/sbin:/usr/sbin"

for tool in hyperfine jq pvcreate vgcfgrestore losetup python3; do
  command -v "$tool" >/dev/null || { echo "lvm-drives.sh: $tool is missing (run scripts/install-deps)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "lvm-drives.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
cleanup() {
  for loop in $(losetup -j "$work/pv.img" -O NAME -n 2>/dev/null); do losetup -d "$loop" || true; done
  rm -rf "$work"
}
trap cleanup EXIT
truncate -s 128M "$work/pv.img" "$work/plain.img"
loop=$(losetup -f --show "$work/pv.img") || { echo "lvm-drives.sh: no loop device here" >&2; exit 1; }
pvcreate -q --devices "$loop" --norestorefile "$loop" >/dev/null
vgcreate -q --devices "$loop" -s 1M kvbench "$loop" >/dev/null
vgcfgbackup -q --devices "$loop" -f "$work/vg.txt" kvbench >/dev/null
python3 - "$work/vg.txt" <<'PY'
import sys
path = sys.argv[1]
lvs = "\tlogical_volumes {\n"
for i in range(100):
    lvs += ('\t\tlv%03d {\n\t\t\tid = "KvBnch-%04d-aaaa-bbbb-cccc-dddd-eeeeee"\n'
            '\t\t\tstatus = ["READ", "WRITE", "VISIBLE"]\n\t\t\tflags = []\n\t\t\tsegment_count = 1\n'
            '\t\t\tsegment1 {\n\t\t\t\tstart_extent = 0\n\t\t\t\textent_count = 1\n\t\t\t\ttype = "striped"\n'
            '\t\t\t\tstripe_count = 1\n\t\t\t\tstripes = [\n\t\t\t\t\t"pv0", %d\n\t\t\t\t]\n\t\t\t}\n\t\t}\n') % (i, i, i)
lvs += "\t}\n"
text = open(path).read()
end = text.rstrip().rfind('}')
open(path, 'w').write(text[:end] + lvs + text[end:])
PY
vgcfgrestore -q --devices "$loop" -f "$work/vg.txt" kvbench >/dev/null 2>&1
losetup -d "$loop"
# Only 24 drive letters: the first 22 LVs are drives, but every one of the 100 is parsed.
[ "$("$cli" drives "$work/pv.img" | grep -c 'LVM2 LV kvbench/')" -ge 20 ] ||
  { echo "lvm-drives.sh: the LVs are not listed" >&2; exit 1; }

json="$work/bench.json"
hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$json" \
  -n "drives of a PV with 100 LVs" "$cli drives $work/pv.img" \
  -n "drives of a plain image" "$cli drives $work/plain.img" >&2
awk -v k="$(jq -r '.results[0].mean' "$json")" -v p="$(jq -r '.results[1].mean' "$json")" 'BEGIN {
  printf "drives, PV with 100 LVs %7.2f ms   plain image %7.2f ms   added %.2f ms   ratio %.2f\n",
         k * 1000, p * 1000, (k - p) * 1000, k / p }'
