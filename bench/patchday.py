#!/usr/bin/env python3
"""Patch day: thousands of players fetching the manifest and files at once
from nginx with the shipped configuration, over HTTPS, while releases are
published and rolled back. Prints refused connections, non-200 answers,
requests/s, MiB/s and p99 latency from h2load, and what a sampler of
manifest + file pairs saw: a body other than the live release's is a fault.
It measures; it never fails a build (the end-to-end suite runs a short pass
through run_patch_day and asserts on it).

    bench/patchday.py [--connections N] [--requests-per-connection R]

Pinned: nginx on CPU 0; h2load, the publisher and the sampler on CPU 1.
Loopback only; h2load stops after N x R requests (and is given 10 minutes at
most), nginx is stopped by its PID."""

import argparse
import hashlib
import http.client
import random
import re
import resource
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"

def make_releases(root, count, size):
    """Two releases of the same paths with different contents: {name: {path: bytes}}."""
    rng = random.Random(16)
    releases = {}
    for name in ("a", "b"):
        files = {f"data/part{i:03}.pak": rng.randbytes(size + (i if name == "b" else 0)) for i in range(count)}
        files["Korvanth.exe"] = b"MZ " + name.encode()
        folder = root / f"release-{name}"
        shutil.rmtree(folder, ignore_errors=True)
        for path, data in files.items():
            (folder / path).parent.mkdir(parents=True, exist_ok=True)
            (folder / path).write_bytes(data)
        releases[folder] = files
    return releases


def manifest_text(files):
    return "".join(f"{hashlib.md5(files[p]).hexdigest()}\t{len(files[p])}\t{p}\n" for p in sorted(files))


def publisher(server, folders, stop, counts, pin):
    """Publishes the releases in turn, with a rollback after every second
    one; counts the runs of the release tool begun and ended."""
    def tool(count, *options):
        counts["begun"] += 1
        subprocess.run(pin + [str(TOOL), "--quiet", *options, str(server)], check=True)
        counts[count] += 1

    step = 0
    while not stop.is_set():
        tool("publishes", str(folders[step % len(folders)]))
        if step % 2:
            tool("rollbacks", "--rollback")
        step += 1
        stop.wait(0.05)


def sampler(port, cafile, releases, stop, counts):
    """A player that fetches the manifest, one file it names, the manifest
    again, and so on: each body must be the file as the manifest just before
    it names it or, when a switch fell between the two, as the one just
    after does. A sample during which more than one run of the release tool
    could have switched (each may have been live for a moment) is counted
    but not judged."""
    digests = {manifest_text(files).encode(): {p: hashlib.md5(d).hexdigest() for p, d in files.items()}
               for files in releases.values()}
    context = ssl.create_default_context(cafile=str(cafile))
    rng = random.Random(7)
    conn = http.client.HTTPSConnection("localhost", port, context=context, timeout=30)

    def get(path):
        conn.request("GET", path)
        answer = conn.getresponse()
        return answer.status, answer.read()

    # Runs of the release tool that had ended before the manifest was asked for.
    ended, before = counts["publishes"] + counts["rollbacks"], get("/manifest.txt")
    while not stop.is_set():
        path = rng.choice(before[1].decode("latin-1").splitlines() or ["\t\tnone"]).split("\t")[2]
        status, body = get("/files/" + path)
        next_ended, after = counts["publishes"] + counts["rollbacks"], get("/manifest.txt")
        counts["samples"] += 1
        if counts["begun"] - ended > 1:
            counts["unjudged"] += 1
        elif (before[0], status, after[0]) != (200, 200, 200) or before[1] not in digests or \
                after[1] not in digests or \
                hashlib.md5(body).hexdigest() not in {digests[before[1]].get(path), digests[after[1]].get(path)}:
            counts["foreign"] += 1
        ended, before = next_ended, after
    conn.close()


def recording_errors(target, counts):
    """Runs target, keeping what killed it in counts: a thread that dies
    must not pass for one that saw nothing wrong."""
    def run(*args):
        try:
            target(*args)
        except BaseException as error:
            counts["errors"].append(f"{target.__name__}: {error!r}")
            raise
    return run


def h2load(port, paths, connections, requests, pin, work):
    """h2load over HTTPS (HTTP/1.1, as WinHTTP speaks it): every connection
    fetches the paths in turn until requests are done. Returns its figures:
    requests, bytes, seconds, failed (connections refused or broken and
    requests that timed out), non200 and p99 (microseconds, from its log)."""
    (work / "urls.txt").write_text("".join(f"https://localhost:{port}{p}\n" for p in paths))
    log = work / "requests.log"
    log.unlink(missing_ok=True)  # h2load appends to it
    started = time.monotonic()
    result = subprocess.run(pin + ["h2load", "--h1", "-t", "2", "-c", str(connections), "-n", str(requests),
                                   "-T", "30", "-N", "30", "-i", str(work / "urls.txt"), "--log-file", str(log)],
                            capture_output=True, text=True, timeout=600)
    seconds = time.monotonic() - started
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    summary = re.search(r"requests: (\d+) total, \d+ started, (\d+) done, \d+ succeeded, (\d+) failed, "
                        r"(\d+) errored, (\d+) timeout", result.stdout)
    traffic = re.search(r"traffic: .*?\((\d+)\) total", result.stdout)
    statuses = re.search(r"status codes: (\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", result.stdout)
    lines = [line.split("\t") for line in log.read_text().splitlines()]
    latencies = sorted(int(latency) for _, _, latency in lines)
    # h2load counts errored and timed-out requests among the failed ones.
    total, done, failed, _, _ = map(int, summary.groups())
    return {"requests": done, "bytes": int(traffic.group(1)), "seconds": seconds,
            "failed": failed + total - done,
            "non200": max(sum(map(int, statuses.groups()[1:])), sum(status != "200" for _, status, _ in lines)),
            "p99": latencies[len(latencies) * 99 // 100] if latencies else 0}


def run_patch_day(server, port, cafile, releases, connections, requests, work, pins=([], []), judged=20):
    """The load, the publisher and the sampler together, over the server
    folder nginx serves on port. Returns h2load's figures and the counts;
    raises when the publisher or the sampler died, or the sampler judged
    fewer than judged samples."""
    folders = list(releases)
    subprocess.run([str(TOOL), "--quiet", str(folders[0]), str(server)], check=True)
    first = releases[folders[0]]
    paths = ["/manifest.txt"] + ["/files/" + p for p in sorted(first)]
    counts = {"begun": 0, "publishes": 0, "rollbacks": 0, "samples": 0, "unjudged": 0, "foreign": 0, "errors": []}
    stop = threading.Event()
    workers = [threading.Thread(target=recording_errors(publisher, counts),
                                args=(server, folders[::-1], stop, counts, pins[1])),
               threading.Thread(target=recording_errors(sampler, counts), args=(port, cafile, releases, stop, counts))]
    for worker in workers:
        worker.start()
    try:
        figures = h2load(port, paths, connections, requests, pins[1], work)
    finally:
        stop.set()
        for worker in workers:
            worker.join(60)
    if counts["errors"] or any(worker.is_alive() for worker in workers) or \
            counts["samples"] - counts["unjudged"] < judged:
        raise RuntimeError(f"the publisher or the sampler failed, or too few samples were judged: {counts}")
    return figures, counts


def main():
    sys.path.insert(0, str(REPO / "scripts"))
    sys.path.insert(0, str(REPO / "bench"))
    from local_pki import make_pki
    from run import start_nginx

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connections", type=int, default=10000)
    parser.add_argument("--requests-per-connection", type=int, default=6)
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--size", type=int, default=64 << 10, help="bytes per file")
    args = parser.parse_args()

    # A descriptor per connection for h2load; nginx sets its workers' own.
    limit = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
    connections = min(args.connections, limit - 100)
    if connections < args.connections:
        print(f"open-file limit {limit}: {connections} connections, not {args.connections}")

    work = Path(tempfile.mkdtemp(prefix="korvanth-bench-patchday-", dir="/var/tmp"))
    pki = make_pki(work / "pki")
    releases = make_releases(work, args.files, args.size)
    server = work / "server"
    nginx, https_port = start_nginx(server, pki, work)
    try:
        figures, counts = run_patch_day(server, https_port, pki / "ca.pem", releases, connections,
                                        connections * args.requests_per_connection, work,
                                        (["taskset", "-c", "0"], ["taskset", "-c", "1"]))
    finally:
        nginx.terminate()
        nginx.wait()
        shutil.rmtree(work, ignore_errors=True)
    seconds = figures["seconds"]
    print(f"\npatch day: {connections} connections over HTTPS, {figures['requests']} requests in {seconds:.1f} s, "
          f"{counts['publishes']} publishes and {counts['rollbacks']} rollbacks during it")
    for name, value in (("refused or failed", figures["failed"]), ("non-200 answers", figures["non200"]),
                        ("requests/s", f"{figures['requests'] / seconds:.0f}"),
                        ("MiB/s", f"{figures['bytes'] / seconds / (1 << 20):.1f}"),
                        ("p99 latency, ms", f"{figures['p99'] / 1000:.0f}"),
                        ("sampled manifest + file pairs", counts["samples"]),
                        ("  not judged (two switches near)", counts["unjudged"]),
                        ("bodies not of the live release", counts["foreign"])):
        print(f"{name:<32} {value:>10}")


if __name__ == "__main__":
    main()
