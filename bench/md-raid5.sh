#!/usr/bin/env bash
# Reads an assembled 4-member RAID5 (1.2 superblocks, 512 KiB chunks, 128 MiB of each
# member) sequentially in 1 MiB reads through the program's own array source, whole and
# with one member left out, against `dd bs=1M` of one member; then the same members as a
# RAID6, whole and with two members left out (each chunk of theirs rebuilt through P and
# Q); prints the ratios (array MB/s / dd MB/s; 1.0 is as fast as dd), the best of three
# runs each. Warm page cache: every file is read once first.
# Usage: bench/md-raid5.sh [BUILD_DIR]   (default: build; needs its static libraries)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -I"$here/src" "$here/bench/md-read.cpp" "$build/src/platform/libkorvalane_platform.a" \
  "$build/src/core/libkorvalane_core.a" -lz -lnettle -lblkid -ldl -lpthread -o "$work/md-read"
cd "$work"
PYTHONPATH="$here/scripts" python3 - <<'PY'
import importlib.util, os
spec = importlib.util.spec_from_file_location('mm', os.environ['PYTHONPATH'] + '/md-members.py')
mm = importlib.util.module_from_spec(spec); spec.loader.exec_module(mm)
MiB = 1 << 20
per = 128 * MiB
a = dict(name='bench', version='1.2', level=5, layout=2, n=4, chunk=512 * 1024, source='x', uuid=bytes(range(16)),
         minor=0, uuid090=[1, 2, 3, 4], dev_sectors=per // 512)
for slot in range(4):
    with open('m%d.img' % slot, 'wb') as f:
        f.truncate(2048 * 512 + per)
        f.seek(4096); f.write(mm.superblock1(a, slot, 8, 2048, per // 512, 20))
        f.seek(2048 * 512)
        for i in range(per // MiB): f.write(os.urandom(MiB))
PY
cat m*.img > /dev/null
# The best of three runs each: the machine may be busy with other work.
rate() { for _ in 1 2 3; do "$work/md-read" "$@"; done | awk '$(NF-1) > best { best = $(NF-1) } END { print best }'; }
dd_rate=$(for _ in 1 2 3; do dd if=m0.img of=/dev/null bs=1M 2>&1 | tail -1; done |
  awk '{ r = $1 / $(NF-3) / 1e6; if (r > best) best = r } END { print best }')
whole=$(rate m0.img m1.img m2.img m3.img)
degraded=$(rate m0.img m2.img m3.img)
echo "dd bs=1M of one member: $dd_rate MB/s"
echo "RAID5 whole:    $whole MB/s, ratio $(awk -v a="$whole" -v b="$dd_rate" 'BEGIN { printf "%.2f", a / b }')"
echo "RAID5 degraded: $degraded MB/s, ratio $(awk -v a="$degraded" -v b="$dd_rate" 'BEGIN { printf "%.2f", a / b }')"
# The same members as a RAID6: only their superblocks change.
PYTHONPATH="$here/scripts" python3 - <<'PY'
import importlib.util, os
spec = importlib.util.spec_from_file_location('mm', os.environ['PYTHONPATH'] + '/md-members.py')
mm = importlib.util.module_from_spec(spec); spec.loader.exec_module(mm)
per = 128 << 20
a = dict(name='bench6', version='1.2', level=6, layout=2, n=4, chunk=512 * 1024, source='x', uuid=bytes(range(1, 17)),
         minor=0, uuid090=[1, 2, 3, 4], dev_sectors=per // 512)
for slot in range(4):
    with open('m%d.img' % slot, 'r+b') as f:
        f.seek(4096); f.write(mm.superblock1(a, slot, 8, 2048, per // 512, 20))
PY
whole6=$(rate m0.img m1.img m2.img m3.img)
degraded6=$(rate m2.img m3.img)
echo "RAID6 whole:    $whole6 MB/s, ratio $(awk -v a="$whole6" -v b="$dd_rate" 'BEGIN { printf "%.2f", a / b }')"
echo "RAID6 missing two: $degraded6 MB/s, ratio $(awk -v a="$degraded6" -v b="$dd_rate" 'BEGIN { printf "%.2f", a / b }')"
