#!/usr/bin/env python3
"""Runs two builds of korvalane-cli side by side over every sample image and compares what
they print, byte for byte: standard output, standard error and the exit status of each
command, as text and as JSON.

Per source (each whole image and container, and each of its partitions with --partition N): drives,
details, fields --compare-backup, locate of a few clusters, blocks, MFT records and
inodes, and over SECTORS sectors spread across the volume (its first sectors, then evenly
to its end): record and fields, and owner of all of them in one call. text and hex are run
on a few sectors (they read bytes only).

Usage: bench/compare-cli.py OLD_CLI NEW_CLI SAMPLES_DIR   (SECTORS=200 JOBS=2)
Prints one line per source (commands run, differences) and the totals; the first
differences in full. Exit 1 when any command differs.
"""
import concurrent.futures
import json
import os
import re
import subprocess
import sys

# Images, and the first file of each container (a split set's first part, a VMDK's
# descriptor, not its extents).
SAMPLE_ENDINGS = (".img", ".E01", ".vmdk", ".vhd", ".vhdx", ".qcow2", ".qcow", ".001", ".aa")
NOT_FIRST = ("-flat.", "-s001.")


def run(cli, args):
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    p = subprocess.run([cli, "--no-prompt"] + args, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                       timeout=600)
    return p.returncode, p.stdout, p.stderr


def volumes_of(cli, source):
    """The source as a whole and each of its partitions, with their sector counts, as the
    old build's drive list gives them."""
    code, out, _ = run(cli, ["--json", "drives", source])
    try:
        drives = json.loads(out).get("drives", [])
    except ValueError:
        drives = []
    volumes = []
    for drive in drives:
        sectors = drive.get("sectors") if isinstance(drive.get("sectors"), int) else 0
        if not drive.get("partition"):
            if not volumes:
                volumes.append((None, sectors))
            continue
        match = re.search(r"partition (\d+) ", drive.get("description", ""))
        if match:
            volumes.append((int(match.group(1)), sectors))
    return volumes or [(None, 0)]


def spread(total, count):
    if total <= 0:
        return list(range(0, 64))
    head = list(range(0, min(total, count // 4)))
    rest = count - len(head)
    step = max(1, total // max(1, rest))
    picked = head + list(range(len(head), total, step))[:rest] + [total - 1, total]
    return sorted(set(picked))


def commands(source, partition, total, count):
    base = [source] if partition is None else ["--partition", str(partition), source]
    out = [["drives", source], ["details"] + base, ["fields", "--compare-backup"] + base]
    for kind in ("cluster", "block", "mft-record", "inode"):
        for n in (0, 1, 2, 5, 11, 12, 64, 1000, 10 ** 12):
            out.append(["locate"] + base + [kind, str(n)])
    sectors = spread(total, count)
    for s in sectors:
        out.append(["record"] + base + [str(s)])
        out.append(["fields"] + base + [str(s)])
    for s in sectors[:: max(1, len(sectors) // 8)]:
        out.append(["text"] + base + [str(s)])
        out.append(["hex"] + base + [str(s)])
    out.append(["owner"] + base + [str(s) for s in sectors])
    out.append(["find", "--all"] + base + ["file-record"])
    both = []
    for c in out:
        both.append(c)
        if c[0] not in ("text", "hex"):
            both.append(["--json"] + c)
    return both


def first_difference(x, y):
    if isinstance(x, int):
        return 0
    for i, (a, b) in enumerate(zip(x, y)):
        if a != b:
            return i
    return min(len(x), len(y))


def excerpt(value, at):
    """Around the first byte that differs (a status is shown whole)."""
    if isinstance(value, int):
        return value
    return value[max(0, at - 80):at + 160]


def compare(old, new, args):
    a = run(old, args)
    b = run(new, args)
    return args, a, b


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    old, new, samples = sys.argv[1:]
    count = int(os.environ.get("SECTORS", "200"))
    jobs = int(os.environ.get("JOBS", "2"))
    sources = []
    for folder in (samples, os.path.join(samples, "containers")):
        if os.path.isdir(folder):
            sources += sorted(os.path.join(folder, f) for f in os.listdir(folder)
                              if f.endswith(SAMPLE_ENDINGS) and not any(n in f for n in NOT_FIRST))
    total_runs = 0
    total_diffs = 0
    shown = 0
    for source in sources:
        plan = []
        for partition, total in volumes_of(old, source):
            plan += commands(source, partition, total, count)
        diffs = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            for args, a, b in pool.map(lambda c: compare(old, new, c), plan):
                if a != b:
                    diffs += 1
                    if shown < 10:
                        shown += 1
                        print("DIFFERS:", " ".join(args))
                        for label, x, y in (("status", a[0], b[0]), ("stdout", a[1], b[1]), ("stderr", a[2], b[2])):
                            if x != y:
                                at = first_difference(x, y)
                                print("  %s old: %r" % (label, excerpt(x, at)))
                                print("  %s new: %r" % (label, excerpt(y, at)))
        total_runs += len(plan)
        total_diffs += diffs
        print("%-40s %6d commands %4d differ" % (os.path.basename(source), len(plan), diffs), flush=True)
    print("total: %d sources, %d commands (each run by both builds), %d differ" % (len(sources), total_runs, total_diffs))
    return 1 if total_diffs else 0


if __name__ == "__main__":
    sys.exit(main())
