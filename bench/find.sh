#!/usr/bin/env bash
# Times korvalane-cli find as whole processes against its peers, in one run, on the same
# cached bytes, and prints the ratios peer time / our time (1.0: as fast; more: faster):
#   find SOURCE text:PATTERN         against  LC_ALL=C grep -c -F -a PATTERN SOURCE
#                                             (a pattern that does not occur: the whole
#                                             1 GiB image is read; goal: ratio >= 1)
#   find --aligned 0 --all SOURCE hex:...   against  sigfind -b 512 HEX SOURCE
#                                             (a signature at offset 0 of every sector,
#                                             every match; goal: ratio >= 10)
# The image: 1 GiB of random bytes (so that a byte-skipping search meets no easy runs),
# with an NTFS-like "FILE" signature planted at the start of every 1024th sector.
#
# Then every match of a pattern that is everywhere, with /usr/bin/time -v: the elapsed
# time and the peak resident memory of find --all (lines and --json) against
#   LC_ALL=C grep -o -b -a -F PATTERN SOURCE   (every match with its byte offset)
# on 2 MiB of 0xFF bytes (hex:FF, 2,097,152 matches) and on 64 MiB of the text FILE
# repeated (text:FILE, 16,777,216 matches). Goal: memory under 64 MiB whatever the count.
#
# Usage: bench/find.sh [KORVALANE_CLI]   RUNS=10 WARMUP=2 SIZE_MIB=1024 bench/find.sh ...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-"$here/../build/src/cli/korvalane-cli"}
runs=${RUNS:-10}
warmup=${WARMUP:-2}
size=${SIZE_MIB:-1024}

for tool in hyperfine jq grep sigfind /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "find.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "find.sh: no korvalane-cli at $cli (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image="$work/random.img"
head -c "$((size * 1048576))" /dev/urandom > "$image"
python3 - "$image" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0, 2)
    sectors = f.tell() // 512
    for s in range(0, sectors, 1024):
        f.seek(s * 512)
        f.write(b"FILE")
PY
cat "$image" > /dev/null  # into the page cache

# The two must agree before they are timed.
ours=$("$cli" find --aligned 0 --all "$image" hex:46494C45 | wc -l)
theirs=$(sigfind -b 512 46494C45 "$image" 2>/dev/null | grep -c '^Block:' || true)
[ "$ours" -eq "$theirs" ] || { echo "find.sh: ours found $ours signatures, sigfind $theirs" >&2; exit 1; }
if "$cli" find "$image" text:KorvalaneNoSuchText >/dev/null; then echo "find.sh: the pattern occurs" >&2; exit 1; fi

printf '%-46s %10s %10s %8s %10s %10s %8s\n' "pair" "ours ms" "peer ms" "ratio" "ours cpu" "peer cpu" "ratio"
bench() {  # bench NAME OURS PEER   (commands run through a shell so that grep's status 1 is fine)
  local json="$work/$(echo "$1" | tr -c "a-z0-9" _).json"
  hyperfine -i --style none --warmup "$warmup" --runs "$runs" --export-json "$json" "$2" "$3" >/dev/null 2>&1
  jq -r --arg name "$1" '
    [.results[0], .results[1]] as [$o, $p]
    | [$name, $o.mean * 1000, $p.mean * 1000, $p.mean / $o.mean,
       ($o.user + $o.system) * 1000, ($p.user + $p.system) * 1000,
       ($p.user + $p.system) / ($o.user + $o.system)]
    | "\(.[0])\t\(.[1])\t\(.[2])\t\(.[3])\t\(.[4])\t\(.[5])\t\(.[6])"' "$json" |
    awk -F'\t' '{ printf "%-46s %10.1f %10.1f %8.2f %10.1f %10.1f %8.2f\n", $1, $2, $3, $4, $5, $6, $7 }'
}

bench "find text (absent) / grep -c -F -a" "$cli find $image text:KorvalaneNoSuchText" \
  "LC_ALL=C grep -c -F -a KorvalaneNoSuchText $image"
bench "find --aligned 0 --all / sigfind" "$cli find --aligned 0 --all $image hex:46494C45" \
  "sigfind -b 512 46494C45 $image"

# ---- Every match, in bounded memory ------------------------------------------------------
ff="$work/ff.img"
head -c 2097152 /dev/zero | tr '\0' '\377' > "$ff"
files="$work/file.img"
python3 -c 'import sys; sys.stdout.buffer.write(b"FILE" * (16 << 20))' > "$files"
[ "$("$cli" find --all "$ff" hex:FF | wc -l)" -eq 2097152 ] || { echo "find.sh: hex:FF count" >&2; exit 1; }

measure() {  # measure NAME COMMAND...   (output through a pipe: grep stops at its first
             # match when its output is /dev/null)
  local log="$work/time.log"
  /usr/bin/time -v -o "$log" "${@:2}" | cat > /dev/null || true
  NAME=$1 awk -F': ' '
    /Elapsed \(wall clock\)/ { split($2, t, ":"); secs = (length(t) == 3) ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2] }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%-58s %9.2f s %9.1f MiB\n", ENVIRON["NAME"], secs, rss }' "$log"
}

echo
printf '%-58s %11s %13s\n' "every match" "time" "peak RSS"
measure "find --all (2,097,152 matches, hex:FF)" "$cli" find --all "$ff" hex:FF
measure "find --all --json (2,097,152 matches, hex:FF)" "$cli" find --all --json "$ff" hex:FF
measure "grep -o -b -a -F \$'\\xFF' (peer)" env LC_ALL=C grep -o -b -a -F "$(printf '\377')" "$ff"
measure "find --all (16,777,216 matches, text:FILE)" "$cli" find --all "$files" text:FILE
measure "find --all --json (16,777,216 matches, text:FILE)" "$cli" find --all --json "$files" text:FILE
measure "grep -o -b -a -F FILE (peer)" env LC_ALL=C grep -o -b -a -F FILE "$files"
