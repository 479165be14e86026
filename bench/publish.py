#!/usr/bin/env python3
"""Benchmark of the release tool against what an operator would run without
it, side by side in one run. Prints medians and ratios; it measures, it never
fails a build.

    bench/publish.py [--runs N] [--quick]

Everything lives on a tmpfs of its own, mounted on a new folder below /var/tmp
and unmounted (and the folder removed) at the end, so that the disk's
write-back does not decide the figures and two runs never collide.

1. First publish of a release of 1 GiB in 1,000 files, against rsync -a of it
   followed by md5sum of every copied file (goal: at most 0.5x), without and
   with --sign (both digests in the one read).
2. Republish with one 1 MiB file changed, against rsync -a of the same change
   (goal: at most 3x); and what --sign adds to it (goal: at most 0.1 s).
3. Republish of 20,000 files of 1 KiB with nothing changed, against rsync -a
   (goal: at most 3x).
4. Rollback after a one-file change, against rsync -a of the earlier content.
5. --check URL over the 1 GiB release served by nginx (HTTP and HTTPS), against
   curl fetching the same files through one connection piped to md5sum.

Pinned: publishing and its peers on CPUs 0 and 1 (the tool copies on both);
for --check, nginx on CPU 0 and the tool, or curl with md5sum, on CPU 1."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "scripts"))
from local_pki import make_pki  # noqa: E402
from run import PIN, start_nginx  # noqa: E402

TOOL = str(REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish")
BOTH = ["taskset", "-c", "0,1"]


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def side_by_side(ours, peer, runs):
    """Medians of two (prepare, command) pairs, run in turns so that a slow
    spell of the machine falls on both alike; prepare is not timed."""
    times = ([], [])
    for _ in range(runs):
        for (prepare, cmd), out in zip((ours, peer), times):
            if prepare:
                prepare()
            start = time.perf_counter()
            run(cmd)
            out.append(time.perf_counter() - start)
    return statistics.median(times[0]), statistics.median(times[1])


def make_release(folder, count, size, folders):
    for i in range(count):
        path = folder / f"data/d{i % folders:02}/f{i:05}.pak"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(os.urandom(size))
    (folder / "Korvanth.exe").write_bytes(b"MZ")
    return folder


def sync(source, target):
    return ["rsync", "-a", f"{source}/", f"{target}/"]


def removed(*folders):
    return lambda: [shutil.rmtree(f, ignore_errors=True) for f in folders]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a 64 MiB release and 2,000 small files")
    args = parser.parse_args()
    count, small_count = (64, 2000) if args.quick else (1000, 20000)

    work = Path(tempfile.mkdtemp(prefix="korvanth-bench-publish-", dir="/var/tmp"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6g", "tmpfs", str(work)], check=True)
    rows = []
    try:
        release = make_release(work / "release", count, 1 << 20, 50)
        small = make_release(work / "small", small_count, 1024, 100)
        server, mirror = work / "server", work / "mirror"

        # 1. First publish: nothing to link, every byte read once.
        copy = work / "copy"
        hashed = f"rsync -a {release}/ {copy}/ && find {copy} -type f -print0 | xargs -0 md5sum >/dev/null"
        rows.append((f"first publish, {count} files of 1 MiB",
                     *side_by_side((removed(work / "first"), BOTH + [TOOL, "--quiet", release, work / "first"]),
                                   (removed(copy), BOTH + ["sh", "-c", hashed]), args.runs),
                     "rsync -a, md5sum", 0.5))
        removed(work / "first", copy)()
        # 1b. The same, signed: both digests in the one read.
        key = work / "release.pem"
        run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072", "-out", key])
        key.chmod(0o600)
        sign = ["--sign", key]
        rows.append((f"first publish, {count} files of 1 MiB, --sign",
                     *side_by_side((removed(work / "first"), BOTH + [TOOL, "--quiet", *sign, release, work / "first"]),
                                   (removed(copy), BOTH + ["sh", "-c", hashed]), args.runs),
                     "rsync -a, md5sum", 0.5))
        removed(work / "first", copy)()

        # 2. One file changed, a different one each time, as both sides see it.
        run([TOOL, "--quiet", release, server])
        run(sync(release, mirror))
        changed = iter(range(10 ** 6))

        def change_one():
            path = release / f"data/d00/f{next(changed) % 20 * 50:05}.pak"
            path.write_bytes(os.urandom(1 << 20))

        rows.append((f"republish, 1 of {count} files changed",
                     *side_by_side((change_one, BOTH + [TOOL, "--quiet", release, server]),
                                   (change_one, BOTH + sync(release, mirror)), args.runs),
                     "rsync -a", 3))

        # 2b. What --sign adds to that republish: a signed server folder
        # against an unsigned one, each publishing the same change.
        run([TOOL, "--quiet", *sign, release, work / "signed"])
        signed = side_by_side((change_one, BOTH + [TOOL, "--quiet", *sign, release, work / "signed"]),
                              (None, BOTH + [TOOL, "--quiet", release, server]), args.runs)

        # 3. Nothing changed: what it costs to find that out. Two publishes
        # first, so that files made within the second are read no more.
        for _ in range(2):
            run([TOOL, "--quiet", small, work / "small-server"])
        run(sync(small, work / "small-mirror"))
        rows.append((f"republish, {small_count} files of 1 KiB, none changed",
                     *side_by_side((None, BOTH + [TOOL, "--quiet", small, work / "small-server"]),
                                   (None, BOTH + sync(small, work / "small-mirror")), args.runs),
                     "rsync -a", 3))

        # 4. Back to the content before a one-file change.
        target, kept = release / "data/d00/f00000.pak", work / "kept.pak"

        def publish_a_change():
            change_one()
            run([TOOL, "--quiet", release, server])

        def sync_a_change_and_restore():
            shutil.copy(target, kept)
            target.write_bytes(os.urandom(1 << 20))
            run(sync(release, mirror))
            shutil.copy(kept, target)

        rows.append(("rollback", *side_by_side((publish_a_change, BOTH + [TOOL, "--quiet", "--rollback", server]),
                                               (sync_a_change_and_restore, BOTH + sync(release, mirror)), args.runs),
                     "rsync -a", None))

        # 5. --check URL, with nginx serving the live release.
        run([TOOL, "--quiet", release, server])
        pki = make_pki(work / "pki")
        nginx, http_port = start_nginx(server, pki, work, secure=False)
        nginx_tls, https_port = start_nginx(server, pki, work)
        try:
            paths = [line.split("\t")[2] for line in (server / "current" / "manifest.txt").read_text().splitlines()]
            for scheme, port, host in (("http", http_port, "127.0.0.1"), ("https", https_port, "localhost")):
                url = f"{scheme}://{host}:{port}/"
                config = work / f"urls-{scheme}.txt"
                config.write_text("".join(f'url = "{url}files/{p}"\n' for p in paths))
                curl = " ".join(PIN + ["curl", "-s", "--cacert", str(pki / "ca.pem"), "-K", str(config), "|"] +
                                PIN + ["md5sum"])
                rows.append((f"--check URL, {count} files of 1 MiB, {scheme}",
                             *side_by_side((None, PIN + [TOOL, "--check", "--cacert", pki / "ca.pem", url]),
                                           (None, ["sh", "-c", curl]), args.runs),
                             "curl | md5sum", 1.2))
        finally:
            for proc in (nginx, nginx_tls):
                proc.terminate()
                proc.wait()
    finally:
        subprocess.run(["umount", str(work)], check=True)
        work.rmdir()

    print(f"\n{'row':<48} {'tool':>8}   {'peer':<18} {'peer':>8} {'ratio':>6} {'goal':>6}")
    for name, ours, peer_time, peer, goal in rows:
        goal_text = f"{goal:6.1f}" if goal else ""
        print(f"{name:<48} {ours:8.3f}   {peer:<18} {peer_time:8.3f} {ours / peer_time:6.2f} {goal_text}")
    print(f"\nrepublish, 1 of {count} files changed: --sign {signed[0]:.3f} s, without {signed[1]:.3f} s, "
          f"--sign adds {signed[0] - signed[1]:+.3f} s (goal: at most +0.100 s)")


if __name__ == "__main__":
    main()
