#!/usr/bin/env bash
# Times korvalane-cli's views against The Sleuth Kit on the same sample images, as whole
# processes over repeated runs, and prints for each pair the ratio ours / peer (the target
# is 0.20 or less: we read one sector, one cluster or one record, the peers open the whole
# file system first):
#   details ntfs.img            against  fsstat ntfs.img
#   details fat16.img           against  fsstat fat16.img
#   record ntfs.img (BIG.DAT)   against  istat ntfs.img 67
#   record fat16.img (root)     against  istat fat16.img 2    (the root directory)
#   hex ntfs.img 32             against  blkcat -h ntfs.img 4 (the same bytes, MFT record 0)
#   details ext4.img            against  fsstat ext4.img
#   record ext4.img (the inode of frag/fragmented.txt, its extent tree read)
#                               against  istat ext4.img INODE
#   details xfs5.img, and a volume of 500 AGs, each also with its magic zeroed (the
#   difference is the XFS work itself)  against  xfs_db -r -c 'sb 0' -c print
#   record xfs5.img (the node folder's inode)  against  xfs_db -r -c 'inode N' -c print
# The ratios use the mean wall-clock time and, steadier on a busy machine, the mean CPU
# time (user + system).
#
# With BASELINE_CLI set to another build's korvalane-cli, `hex ntfs.img 32` of this build is
# also timed against it (start-up is most of that command: what a change costs there).
#
# Usage: bench/views.sh [BUILD_DIR]   (default: build; samples are made in BUILD_DIR/samples
#        when missing)     RUNS=100 WARMUP=10 bench/views.sh ...
#        BASELINE_CLI=/tmp/korvalane-cli.before bench/views.sh build
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-"$here/../build"}" && pwd)
cli="$build/src/cli/korvalane-cli"
samples="$build/samples"
runs=${RUNS:-60}
warmup=${WARMUP:-5}

for tool in hyperfine jq fsstat istat blkcat ifind; do
  command -v "$tool" >/dev/null || { echo "views.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "views.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }
[ -f "$samples/SHA256SUMS" ] || "$here/../scripts/make-samples" "$samples" >/dev/null
ntfs="$samples/ntfs.img"
fat16="$samples/fat16.img"
cat "$ntfs" "$fat16" "$samples/ext4.img" >/dev/null  # into the page cache

# MFT record 67 (BIG.DAT) of ntfs.img: the MFT starts at cluster 4 (sector 32) and its
# records are 1024 bytes. fat16.img's root directory starts at sector 68.
"$cli" record "$ntfs" 166 | grep -q '^File BIG.DAT$' || { echo "views.sh: sector 166 is not BIG.DAT" >&2; exit 1; }
"$cli" record "$fat16" 68 | grep -q '^README.TXT  ' || { echo "views.sh: sector 68 is not the root" >&2; exit 1; }

# ext4.img: the inode of the fragmented file, and the sector that holds it.
ext4="$samples/ext4.img"
ext4_inode=$(ifind -n frag/fragmented.txt "$ext4")
ext4_sector=$("$cli" locate "$ext4" inode "$ext4_inode")
"$cli" record "$ext4" "$ext4_sector" | grep -q '^Extent tree depth - 1$' || { echo "views.sh: sector $ext4_sector has no depth-1 inode" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-34s %10s %10s %8s %10s %10s %8s\n' "pair" "ours ms" "peer ms" "ratio" "ours cpu" "peer cpu" "ratio"
bench() {  # bench NAME OURS PEER
  local json
  json="$work/$(echo "$1" | tr -c "a-z0-9" _).json"
  hyperfine -N --style none --warmup "$warmup" --runs "$runs" --export-json "$json" "$2" "$3" >/dev/null 2>&1
  jq -r --arg name "$1" '
    [.results[0], .results[1]] as [$o, $p]
    | [$name, $o.mean * 1000, $p.mean * 1000, $o.mean / $p.mean,
       ($o.user + $o.system) * 1000, ($p.user + $p.system) * 1000,
       ($o.user + $o.system) / ($p.user + $p.system)]
    | "\(.[0])\t\(.[1])\t\(.[2])\t\(.[3])\t\(.[4])\t\(.[5])\t\(.[6])"' "$json" |
    awk -F'\t' '{ printf "%-34s %10.2f %10.2f %8.3f %10.2f %10.2f %8.3f\n", $1, $2, $3, $4, $5, $6, $7 }'
}

bench "details ntfs / fsstat" "$cli details $ntfs" "fsstat $ntfs"
bench "details fat16 / fsstat" "$cli details $fat16" "fsstat $fat16"
bench "record ntfs BIG.DAT / istat" "$cli record $ntfs 166" "istat $ntfs 67"
bench "record fat16 root / istat" "$cli record $fat16 68" "istat $fat16 2"
bench "hex ntfs 32 / blkcat -h" "$cli hex $ntfs 32" "blkcat -h $ntfs 4"
bench "details ext4 / fsstat" "$cli details $ext4" "fsstat $ext4"
bench "record ext4 extents / istat" "$cli record $ext4 $ext4_sector" "istat $ext4 $ext4_inode"
# XFS against xfs_db -r: details of the 3-AG sample and of a volume of 500 AGs (its work
# alone: the same image with its magic zeroed, which the CLI refuses after reading one
# sector), and the record of an inode (the node folder's, a btree fork) against inode N.
if command -v xfs_db >/dev/null && command -v mkfs.xfs >/dev/null && [ -f "$samples/xfs5.img" ]; then
  xfs5="$samples/xfs5.img"
  xfs500="$work/xfs500.img"
  truncate -s 40g "$xfs500"  # AGs of 80 MiB: the log of 64 MiB fits one
  mkfs.xfs -q -f -d agcount=500 "$xfs500" >/dev/null 2>&1
  # The copies without their magic stand in the scratch folder, not among the samples.
  for image in "$xfs5" "$xfs500"; do
    cp --sparse=always "$image" "$work/$(basename "$image").nomagic"
    printf '\0\0\0\0' | dd of="$work/$(basename "$image").nomagic" conv=notrunc status=none
  done
  xfs_inode=$(xfs_db -r -c 'blockget -n' -c ncheck "$xfs5" | awk '$2 == "node/." { print $1 }')
  xfs_sector=$("$cli" locate "$xfs5" inode "$xfs_inode")
  bench "details xfs 4 AGs / xfs_db sb" "$cli details $xfs5" "xfs_db -r -c 'sb 0' -c print $xfs5"
  bench "details xfs 4 AGs, no magic / xfs_db" "$cli details $work/xfs5.img.nomagic" "xfs_db -r -c 'sb 0' -c print $xfs5"
  bench "details xfs 500 AGs / xfs_db sb" "$cli details $xfs500" "xfs_db -r -c 'sb 0' -c print $xfs500"
  bench "details xfs 500 AGs, no magic / xfs_db" "$cli details $work/xfs500.img.nomagic" "xfs_db -r -c 'sb 0' -c print $xfs500"
  bench "record xfs inode / xfs_db inode" "$cli record $xfs5 $xfs_sector" "xfs_db -r -c 'inode $xfs_inode' -c print $xfs5"
fi
if [ -n "${BASELINE_CLI:-}" ]; then
  bench "hex ntfs 32 / baseline build" "$cli hex $ntfs 32" "$BASELINE_CLI hex $ntfs 32"
fi

# For scale: a process of ours that starts, prints its help and ends, reading nothing.
hyperfine -N --style none --warmup "$warmup" --runs "$runs" --export-json "$work/start.json" "$cli --help" >/dev/null 2>&1
jq -r '.results[0] | "\(.mean * 1000)\t\((.user + .system) * 1000)"' "$work/start.json" |
  awk -F'\t' '{ printf "start-up only (korvalane-cli --help): %.2f ms, cpu %.2f ms\n", $1, $2 }'
