#!/usr/bin/env bash
# Device speed of every copy in one run: `korvalane-cli hash` and `export` against the
# peers that read the same bytes, as whole processes over repeated runs (hyperfine, each
# pair forwards and backwards, the two taken together), and the ratios printed (peer
# time / ours, so 1.0 is as fast as the peer, more is faster):
#   - hash (SHA-256) of 48 MiB and 200 MiB against dd bs=1M | sha256sum;
#   - hash of MD5, SHA-1 and SHA-256 at once against dd bs=1M | tee feeding md5sum,
#     sha1sum and sha256sum, each a process of its own, at 48 MiB and 200 MiB;
#   - export of 50 MiB (one read) and 200 MiB (chunks) from the image file and from a
#     loop device over it (a real block device) against dd bs=1M;
#   - export out of an E01 (deflate, 64 MiB segments) against ewfexport -f raw, at 40 MiB
#     and 200 MiB.
# The image (256 MiB: a FAT32 volume whose data area is random) lives in a temporary
# folder and is read from the page cache; the outputs go to a folder in memory (/dev/shm,
# or OUT_DIR), so that both sides are timed reading, not the disk the outputs would be
# flushed to, and every run writes a new file (--prepare removes the last one, for both
# sides). The loop device needs root; without it those rows are skipped, and the script
# says so. Each pair's outputs (or digests) are compared before timing.
#
# Usage: bench/speed.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=10 WARMUP=2 OUT_DIR=/dev/shm bench/speed.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-10}
warmup=${WARMUP:-2}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mkfs.fat dd cmp tee sha256sum sha1sum md5sum ewfacquire ewfexport; do
  command -v "$tool" >/dev/null || { echo "speed.sh: $tool is missing (run scripts/install-deps)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "speed.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
outBase=${OUT_DIR:-/dev/shm}
[ -d "$outBase" ] && [ -w "$outBase" ] || outBase=$work
out=$(mktemp -d "$outBase/korvalane-speed-XXXXXX")
loop=
cleanup() {
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work" "$out"
}
trap cleanup EXIT
image="$work/volume.img"
mkfs.fat -C -F 32 -n BENCH "$image" 262144 >/dev/null
# Random data behind the boot sector and the FATs, so that every page is real and the
# E01's deflate has nothing to gain.
dd if=/dev/urandom of="$image" bs=1M seek=8 count=248 conv=notrunc status=none
ewfacquire -u -q -t "$work/disk" -S 64MiB -c deflate:fast -f encase6 \
  -C 1 -D bench -E 1 -e bench -N bench "$image" >/dev/null
cat "$image" "$work"/disk.E* >/dev/null  # into the page cache

loopNote=
if [ "$(id -u)" -ne 0 ]; then
  loopNote="skipped: a loop device needs root"
elif ! loop=$(losetup --find --show --read-only "$image" 2>&1); then
  loopNote="skipped: losetup refused ($loop)"
  loop=
fi

# Sector counts (512 bytes).
s40=81920     # 40 MiB
s48=98304     # 48 MiB: below the one-read limit
s50=102400    # 50 MiB: the longest one read
s200=409600   # 200 MiB: chunks

# The same bytes first.
sha() { "$cli" hash "$@" | sed 's/.* = //'; }
for count in $s48 $s200; do
  mib=$((count / 2048))
  [ "$(sha "$image" 0 $count)" = "$(dd if="$image" bs=1M count=$mib status=none | sha256sum | cut -d' ' -f1)" ] ||
    { echo "speed.sh: the SHA-256 of $mib MiB differs" >&2; exit 1; }
  peers=""
  for tool in md5sum sha1sum sha256sum; do
    peers+="$(dd if="$image" bs=1M count=$mib status=none | $tool | cut -d' ' -f1) "
  done
  [ "$("$cli" hash --md5 --sha1 --sha256 "$image" 0 $count | sed 's/.* = //' | tr '\n' ' ')" = "$peers" ] ||
    { echo "speed.sh: the three digests of $mib MiB differ" >&2; exit 1; }
done
for source in "$image" $loop; do
  for count in $s50 $s200; do
    "$cli" export --force "$source" 0 $count "$out/k.bin" >/dev/null
    dd if="$source" of="$out/d.bin" bs=1M count=$((count / 2048)) status=none
    cmp "$out/k.bin" "$out/d.bin"
  done
done
start=16384  # the E01 rows from 8 MiB on, where the random data begins
for count in $s40 $s200; do
  "$cli" export --force "$work/disk.E01" $start $((start + count)) "$out/k.bin" >/dev/null
  ewfexport -u -q -f raw -t "$out/e" -o $((start * 512)) -B $((count * 512)) "$work/disk.E01" >/dev/null
  cmp "$out/k.bin" "$out/e.raw"
done
rm -f "$out"/*

stat() {  # stat JSON NAME FIELD
  jq -r --arg n "$2" "[.results[] | select(.command == \$n)][0].$3" "$1"
}

# bench LABEL OURS PEER: one line with both means, the ratio of the means, of the fastest
# runs, and of the CPU times (user + system). hyperfine times one command after the
# other, and whichever goes first tends to come out a few per cent slower, so the pair is
# timed forwards and backwards and the two runs are taken together.
bench() {
  local label=$1 ours=$2 peer=$3 f=$work/f.json b=$work/b.json
  local prepare="rm -f $out/k.bin $out/d.bin $out/e.raw"
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --prepare "$prepare" --export-json "$f" \
    -n ours "$ours" -n peer "$peer" >&2
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --prepare "$prepare" --export-json "$b" \
    -n peer "$peer" -n ours "$ours" >&2
  figures() {  # figures NAME: mean, fastest and CPU seconds over both runs
    echo "$(stat "$f" "$1" mean) $(stat "$b" "$1" mean) $(stat "$f" "$1" min) $(stat "$b" "$1" min)" \
      "$(stat "$f" "$1" user) $(stat "$f" "$1" system) $(stat "$b" "$1" user) $(stat "$b" "$1" system)" |
      awk '{ printf "%.6f %.6f %.6f\n", ($1 + $2) / 2, ($3 < $4 ? $3 : $4), ($5 + $6 + $7 + $8) / 2 }'
  }
  echo "$(figures ours) $(figures peer)" | awk -v l="$label" '{
    printf "%-44s ours %7.1f ms  peer %7.1f ms  ratio %5.2f  fastest %5.2f  CPU %5.2f\n",
      l, $1 * 1000, $4 * 1000, $4 / $1, $5 / $2, $6 / $3 }'
}

tee3() {  # tee3 MIB: the three digest tools fed side by side by tee
  echo "sh -c '( ( dd if=$image bs=1M count=$1 status=none | tee /dev/fd/3 /dev/fd/4 | sha256sum ) 3>&1 >/dev/null | md5sum >/dev/null ) 4>&1 >/dev/null | sha1sum >/dev/null'"
}

results=$(
  bench "hash SHA-256, 48 MiB vs dd | sha256sum" "$cli hash $image 0 $s48" \
    "sh -c 'dd if=$image bs=1M count=48 status=none | sha256sum'"
  bench "hash SHA-256, 200 MiB vs dd | sha256sum" "$cli hash $image 0 $s200" \
    "sh -c 'dd if=$image bs=1M count=200 status=none | sha256sum'"
  bench "hash MD5+SHA-1+SHA-256, 48 MiB vs tee x3" "$cli hash --md5 --sha1 --sha256 $image 0 $s48" "$(tee3 48)"
  bench "hash MD5+SHA-1+SHA-256, 200 MiB vs tee x3" "$cli hash --md5 --sha1 --sha256 $image 0 $s200" "$(tee3 200)"
  bench "export 50 MiB (one read), file vs dd bs=1M" "$cli export --force $image 0 $s50 $out/k.bin" \
    "dd if=$image of=$out/d.bin bs=1M count=50 status=none"
  bench "export 200 MiB, file vs dd bs=1M" "$cli export --force $image 0 $s200 $out/k.bin" \
    "dd if=$image of=$out/d.bin bs=1M count=200 status=none"
  if [ -n "$loop" ]; then
    bench "export 50 MiB (one read), loop vs dd bs=1M" "$cli export --force $loop 0 $s50 $out/k.bin" \
      "dd if=$loop of=$out/d.bin bs=1M count=50 status=none"
    bench "export 200 MiB, loop vs dd bs=1M" "$cli export --force $loop 0 $s200 $out/k.bin" \
      "dd if=$loop of=$out/d.bin bs=1M count=200 status=none"
  fi
  bench "export E01 40 MiB (one read) vs ewfexport" \
    "$cli export --force $work/disk.E01 $start $((start + s40)) $out/k.bin" \
    "ewfexport -u -q -f raw -t $out/e -o $((start * 512)) -B $((s40 * 512)) $work/disk.E01"
  bench "export E01 200 MiB vs ewfexport" \
    "$cli export --force $work/disk.E01 $start $((start + s200)) $out/k.bin" \
    "ewfexport -u -q -f raw -t $out/e -o $((start * 512)) -B $((s200 * 512)) $work/disk.E01"
)

echo
echo "Speed (mean of $runs runs forwards and $runs backwards, page cache warm, outputs in $outBase;"
echo "ratio = peer time / ours, of the means, of the fastest runs, and of the CPU times):"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
[ -n "$loopNote" ] && echo "Loop device: $loopNote"
exit 0
