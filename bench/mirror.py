#!/usr/bin/env python3
"""Benchmark of korvanth-mirror: one changed file of a release of 1 GiB in
1,000 files mirrored to a folder, against `rsync -a` of the same change
(which copies in place of the live files and decides by size and time).
Prints medians and the ratio; it measures, it never fails a build.

    bench/mirror.py [--runs N] [--quick]

Everything lies on a tmpfs of its own, mounted on a new folder below /var/tmp
and unmounted (and the folder removed) at the end, so the
disk's write-back does not swamp the figures. Pinned: both sides on CPU 1,
taking turns, each after the same one-file republish."""

import argparse
import itertools
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))
from publish import TOOL, make_release  # noqa: E402
from run import PIN  # noqa: E402

MIRROR = REPO / "tools" / "mirror" / "korvanth-mirror"


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(PIN + [str(c) for c in cmd], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a 64 MiB release, for trying the script")
    args = parser.parse_args()
    count = 64 if args.quick else 1000

    # Where an installed korvanth-mirror finds korvanth-publish for --purge-list.
    os.environ["PATH"] = f"{Path(TOOL).parent}:{os.environ['PATH']}"
    work = Path(tempfile.mkdtemp(prefix="korvanth-bench-mirror-", dir="/var/tmp"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6g", "tmpfs", str(work)], check=True)
    try:
        release = make_release(work / "release", count, 1 << 20, 50)
        server, dest, peer = work / "server", work / "mirror", work / "rsync"
        subprocess.run([str(TOOL), "--quiet", str(release), str(server)], check=True)
        subprocess.run([str(MIRROR), str(server), str(dest)], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["rsync", "-a", f"{server}/current/", str(peer)], check=True)
        ours, purged, theirs = [], [], []
        # A different file of the release each time (d00 holds every 50th).
        changed = itertools.cycle(range(0, count, 50))
        for times, options in ((ours, []), (purged, ["--purge-list", work / "purge.txt"])):
            for _ in range(args.runs):
                # rsync -a sees a same-size change only in a later second
                # than the copy it has: each republish starts a new one.
                time.sleep(1 - time.time() % 1)
                (release / f"data/d00/f{next(changed):05}.pak").write_bytes(os.urandom(1 << 20))
                subprocess.run([str(TOOL), "--quiet", str(release), str(server)], check=True)
                times.append(timed([MIRROR, *options, server, dest]))
                theirs.append(timed(["rsync", "-a", f"{server}/current/", peer]))
        # The mirror ends where rsync does.
        assert subprocess.run(["diff", "-r", f"{dest}/current/", f"{peer}/"]).returncode == 0
    finally:
        subprocess.run(["umount", str(work)])
        work.rmdir()

    mine, peer_time = statistics.median(ours), statistics.median(theirs)
    print(f"\none changed file of {count} x 1 MiB, mirrored to a folder on tmpfs, medians of {len(ours)} "
          f"and {len(theirs)} runs, seconds:")
    print(f"{'korvanth-mirror':<40} {mine:8.3f}")
    print(f"{'korvanth-mirror --purge-list':<40} {statistics.median(purged):8.3f}")
    print(f"{'rsync -a':<40} {peer_time:8.3f}")
    print(f"{'ratio korvanth-mirror / rsync -a':<40} {mine / peer_time:8.2f}")


if __name__ == "__main__":
    main()
