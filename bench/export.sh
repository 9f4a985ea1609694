#!/usr/bin/env bash
# Times `korvalane-cli export` against dd reading the same cached data, as whole processes
# over repeated runs (hyperfine, in one script run: each source forwards and backwards),
# and prints the throughput ratios (dd time / export time, so 1.0 is as fast as dd):
#   - a 50 MiB range of the image file, which the export copies with one read, against
#     dd bs=1M;
#   - a 200 MiB range (sectors 0-409599), which it copies in 1 MiB chunks, from the image
#     file and from a loop device over it (a real block device), each against dd bs=1M and
#     dd bs=512 from the same file or device;
#   - the 50 MiB and 200 MiB ranges of the file again with --sha256, against dd bs=1M.
# Then the peak memory of the exports (GNU time). The image (a FAT32 volume of 256 MiB
# whose data area is random) lives in a temporary folder and is read from the page cache;
# the loop device reads it through the kernel's block layer. The outputs go to a folder
# in memory (/dev/shm, or OUT_DIR), so that both sides are timed reading, not waiting for
# the disk the outputs would be flushed to. The loop device needs root; without it that
# part is skipped, and the script says so.
#
# Usage: bench/export.sh [KORVALANE_CLI]   (default: build/src/cli/korvalane-cli)
#        RUNS=20 WARMUP=3 OUT_DIR=/dev/shm bench/export.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${KORVALANE_CLI:-"$here/../build/src/cli/korvalane-cli"}}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
runs=${RUNS:-15}
warmup=${WARMUP:-3}

PATH="$PATH:/sbin:/usr/sbin"
for tool in hyperfine jq mkfs.fat dd cmp; do
  command -v "$tool" >/dev/null || { echo "export.sh: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "export.sh: /usr/bin/time is missing (package time)" >&2; exit 1; }
[ -x "$cli" ] || { echo "export.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
outBase=${OUT_DIR:-/dev/shm}
[ -d "$outBase" ] && [ -w "$outBase" ] || outBase=$work
out=$(mktemp -d "$outBase/korvalane-bench-XXXXXX")
loop=
cleanup() {
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work" "$out"
}
trap cleanup EXIT
image="$work/volume.img"
mkfs.fat -C -F 32 -n BENCH "$image" 262144 >/dev/null
# Random data behind the boot sector and the FATs, so that every page is real.
dd if=/dev/urandom of="$image" bs=1M seek=8 count=248 conv=notrunc status=none
cat "$image" >/dev/null  # into the page cache

small=102400   # 52,428,800 bytes: one read
large=409600   # 209,715,200 bytes: 200 chunks of 1 MiB

loopNote=
if [ "$(id -u)" -ne 0 ]; then
  loopNote="skipped: a loop device needs root"
elif ! loop=$(losetup --find --show --read-only "$image" 2>&1); then
  loopNote="skipped: losetup refused ($loop)"
  loop=
fi

# Check first that both programs produce the same bytes.
check() {  # check SOURCE SECTORS
  "$cli" export --force "$1" 0 "$2" "$out/k.bin" >/dev/null
  dd if="$1" of="$out/d.bin" bs=1M count=$(($2 / 2048)) status=none
  cmp "$out/k.bin" "$out/d.bin"
}
check "$image" "$small"
check "$image" "$large"
[ -n "$loop" ] && check "$loop" "$large"
rm -f "$out"/*.bin

# stat JSON NAME FIELD: a field of the named command's results (mean, min, user, system).
stat() {
  jq -r --arg n "$2" "[.results[] | select(.command == \$n)][0].$3" "$1"
}

# bench NAME EXPORT_COMMAND DD_COMMAND...: a line per dd command. hyperfine times one
# command after the other, and on this kind of machine whichever goes first comes out a
# few per cent slower, so every source is timed twice, forwards and backwards, and the
# two runs are taken together: the mean of the means, the fastest run of either, the mean
# CPU time (user + system, steadier than the wall clock on a busy machine).
bench() {
  local name=$1
  local -a names=("korvalane-cli export") commands=("$2")
  local label
  shift 2
  for command in "$@"; do
    label=${command##*bs=}
    names+=("dd bs=${label%% *}")
    commands+=("$command")
  done
  local -a forwards=() backwards=()
  local i
  for ((i = 0; i < ${#names[@]}; i++)); do
    forwards+=(-n "${names[i]}" "${commands[i]}")
    backwards=(-n "${names[i]}" "${commands[i]}" "${backwards[@]}")
  done
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$work/forwards.json" "${forwards[@]}" >&2
  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-json "$work/backwards.json" "${backwards[@]}" >&2
  figures() {  # figures NAME: mean, fastest and CPU seconds over both runs
    local f=$work/forwards.json b=$work/backwards.json
    echo "$(stat "$f" "$1" mean) $(stat "$b" "$1" mean) $(stat "$f" "$1" min) $(stat "$b" "$1" min)" \
      "$(stat "$f" "$1" user) $(stat "$f" "$1" system) $(stat "$b" "$1" user) $(stat "$b" "$1" system)" |
      awk '{ printf "%.6f %.6f %.6f\n", ($1 + $2) / 2, ($3 < $4 ? $3 : $4), ($5 + $6 + $7 + $8) / 2 }'
  }
  local k d
  k=$(figures "${names[0]}")
  for ((i = 1; i < ${#names[@]}; i++)); do
    d=$(figures "${names[i]}")
    echo "$k $d" | awk -v n="$name" -v b="${names[i]#dd bs=}" '{
      printf "%-23s vs dd bs=%-4s export %7.1f ms  dd %7.1f ms  ratio %5.2f  fastest %5.2f  CPU %5.2f\n",
        n, b, $1 * 1000, $4 * 1000, $4 / $1, $5 / $2, $6 / $3 }'
  done
}

results=$(
  bench "50 MiB, one read, file" \
    "$cli export --force $image 0 $small $out/k50.bin" \
    "dd if=$image of=$out/d50.bin bs=1M count=50 status=none"
  bench "200 MiB, chunks, file" \
    "$cli export --force $image 0 $large $out/k200.bin" \
    "dd if=$image of=$out/d200.bin bs=1M count=200 status=none" \
    "dd if=$image of=$out/e200.bin bs=512 count=$large status=none"
  # The same with the SHA-256 of the written bytes, hashed on a second thread while the
  # copy reads on: against the rows above, the cost of the digest.
  bench "50 MiB, one read, sha256" \
    "$cli export --force --sha256 $image 0 $small $out/h50.bin" \
    "dd if=$image of=$out/d50.bin bs=1M count=50 status=none"
  bench "200 MiB, chunks, sha256" \
    "$cli export --force --sha256 $image 0 $large $out/h200.bin" \
    "dd if=$image of=$out/d200.bin bs=1M count=200 status=none"
  if [ -n "$loop" ]; then
    bench "200 MiB, chunks, loop" \
      "$cli export --force $loop 0 $large $out/l200.bin" \
      "dd if=$loop of=$out/m200.bin bs=1M count=200 status=none" \
      "dd if=$loop of=$out/n200.bin bs=512 count=$large status=none"
  fi
)

peak() {  # peak SOURCE END: maximum resident set size in KiB
  /usr/bin/time -v "$cli" export --force "$1" 0 "$2" "$out/peak.bin" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}

echo
echo "Throughput (mean of $runs runs, page cache warm, outputs in $outBase; ratio = dd time / export time"
echo "of the means, of the fastest runs, and of the CPU times (user + system)):"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "$results"
[ -n "$loopNote" ] && echo "Loop device: $loopNote"
echo
echo "Peak memory (maximum resident set size):"
echo "  50 MiB export, file:   $(peak "$image" "$small") KiB"
echo "  200 MiB export, file:  $(peak "$image" "$large") KiB"
[ -n "$loop" ] && echo "  200 MiB export, loop:  $(peak "$loop" "$large") KiB"
exit 0
