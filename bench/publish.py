#!/usr/bin/env python3
"""Benchmark of the release tool. Prints medians and ratios; it measures, it
never fails a build.

    bench/publish.py [--runs N] [--quick] [--baseline-rev REV]

1. `korvanth-publish --check URL` over a release of 1 GiB in 1,000 files served
   by nginx (HTTP and HTTPS), against curl fetching the same files through one
   connection piped to md5sum.
2. A republish of that release with one file changed, and a rollback, against
   the tool as it was at REV (a republish of the earlier release folder was its
   only way back).

Pinned: nginx on CPU 0, what is measured on CPU 1 (both sides alike: all
threads of the tool, and curl with md5sum)."""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "scripts"))
from local_pki import make_pki  # noqa: E402
from run import PIN, median, start_nginx  # noqa: E402

TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"
WORK = Path("/var/tmp/korvanth-bench/publish")


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kwargs)


def timed(cmd, before=None, runs=5, shell=False):
    """Median seconds of runs of cmd, before() ahead of each one."""
    def once():
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, shell=shell)
        return time.perf_counter() - start
    return median(once, runs, before)


def make_release(folder, count, size):
    if not folder.exists():
        for i in range(count):
            path = folder / f"data/d{i % 50:02}/f{i:05}.pak"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(os.urandom(size))
        (folder / "Korvanth.exe").write_bytes(b"MZ")
    return folder


def baseline_tool(rev):
    """The release tool as it was at rev, built from that commit's sources."""
    source = WORK / f"baseline-{rev}"
    tool = source / "build" / "tools" / "publish" / "korvanth-publish"
    if not tool.exists():
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(REPO), "archive", rev], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        run(["cmake", "-S", str(source), "-B", str(source / "build"), "-DKORVANTH_BUILD_TESTS=OFF"])
        run(["cmake", "--build", str(source / "build"), "--target", "korvanth-publish", "-j", "2"])
    return tool


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a 64 MiB release, for trying the script")
    parser.add_argument("--baseline-rev", default="d696e5d", help="commit of the tool to compare with")
    args = parser.parse_args()
    count = 64 if args.quick else 1000

    WORK.mkdir(parents=True, exist_ok=True)
    pki = make_pki(WORK / "pki")
    release = make_release(WORK / f"release-{count}", count, 1 << 20)
    server = WORK / "server"
    shutil.rmtree(server, ignore_errors=True)
    run([str(TOOL), "--quiet", str(release), str(server)])
    nginx, http_port, https_port = start_nginx(server, pki, WORK)
    rows = []
    try:
        for scheme, port, host in (("http", http_port, "127.0.0.1"), ("https", https_port, "localhost")):
            url = f"{scheme}://{host}:{port}/"
            ca = ["--cacert", str(pki / "ca.pem")]
            ours = timed(PIN + [str(TOOL), "--check", *ca, url], runs=args.runs)
            paths = [line.split("\t")[2] for line in (server / "current" / "manifest.txt").read_text().splitlines()]
            config = WORK / f"urls-{scheme}.txt"
            config.write_text("".join(f'url = "{url}files/{p}"\n' for p in paths))
            peer = timed(" ".join(PIN + ["curl", "-s", "--cacert", str(pki / "ca.pem"), "-K", str(config), "|"]
                                  + PIN + ["md5sum"]), runs=args.runs, shell=True)
            rows.append((f"--check URL, {count} files of 1 MiB, {scheme}", ours, "curl | md5sum", peer))
    finally:
        nginx.terminate()
        nginx.wait()

    # Republish with one file changed, a different one each run, and the way back.
    old_tool = baseline_tool(args.baseline_rev)
    old_server = WORK / "server-baseline"
    shutil.rmtree(old_server, ignore_errors=True)
    run([str(old_tool), "--quiet", str(release), str(old_server)])
    changed = iter(range(10 ** 6))

    def change_one():
        path = release / f"data/d00/f{next(changed) % 20 * 50:05}.pak"
        path.write_bytes(os.urandom(1 << 20))

    for name, tool, target in (("this tool", TOOL, server), ("baseline", old_tool, old_server)):
        rows.append((f"republish, 1 of {count} files changed: {name}",
                     timed([str(tool), "--quiet", str(release), str(target)], change_one, args.runs), None, None))
    def publish_a_change():
        change_one()
        run([str(TOOL), "--quiet", str(release), str(server)])

    rows.append(("rollback: this tool (--rollback)",
                 timed([str(TOOL), "--quiet", "--rollback", str(server)], publish_a_change, args.runs), None, None))
    backup = WORK / "rolled-back.pak"
    target = release / "data/d00/f00000.pak"

    def change_and_publish_then_restore():
        shutil.copy(target, backup)
        target.write_bytes(os.urandom(1 << 20))
        run([str(old_tool), "--quiet", str(release), str(old_server)])
        shutil.copy(backup, target)

    rows.append(("rollback: baseline (republish the earlier release)",
                 timed([str(old_tool), "--quiet", str(release), str(old_server)], change_and_publish_then_restore,
                       args.runs), None, None))

    print(f"\n{'row':<58} {'seconds':>8}   {'peer':<14} {'seconds':>8} {'ratio':>6}")
    for name, ours, peer, peer_time in rows:
        tail = f"   {peer:<14} {peer_time:8.3f} {ours / peer_time:6.2f}" if peer else ""
        print(f"{name:<58} {ours:8.3f}{tail}")
    republish = [r[1] for r in rows if r[0].startswith("republish")]
    print(f"republish, this tool / baseline: {republish[0] / republish[1]:.2f}")


if __name__ == "__main__":
    main()
