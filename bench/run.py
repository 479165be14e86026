#!/usr/bin/env python3
"""Benchmark: the updater (x86_64 build, under Wine) against the floor (a bare
program making the same platform calls, bench/floor.c) and against the tools
a user would compare it with (md5sum, curl); and the updater built with a
release key against the one built without, on the same folder. Prints tables
of medians and ratios; it measures, it never fails a build.

    bench/run.py [--runs N] [--quick]

Data sets, a Wine prefix and nginx's files go to a folder of the run's own
below /var/tmp, removed at the end.

Pinned as measured best here: nginx on CPU 0; the measured program, its Wine
server and the baselines on CPU 1. Every time is from the process start to
the updater's ending line ("Cliente al dia" or "Actualizacion completa"), so
the updater's closing wait before the game starts is not counted."""

import argparse
import hashlib
import os
import re
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "scripts"))
from local_pki import make_pki  # noqa: E402

BUILD = REPO / "build" / "x86_64"
TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"
# A player's line: what a signed download is measured at besides loopback.
PLAYER_RATE = 400e6 / 8
WINE = REPO / "scripts" / "wine-x86_64.sh"
# Set by main: a folder of this run's own, so that two runs never collide.
WORK = PREFIX = None
# Blanks left out: on a terminal Wine's console draws them as cursor moves.
ENDINGS = (b"Clientealdia", b"Actualizacioncompleta")


def ended(text):
    return any(e in text.replace(b" ", b"") for e in ENDINGS)
PIN = ["taskset", "-c", "1"]
ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07")


def env():
    return dict(os.environ, KORVANTH_WINEPREFIX=str(PREFIX))


# ------------------------------------------------------------------ datasets

def make_tree(root, count, size):
    """count files of size bytes below root/game, and their manifest."""
    game = root / "game"
    if (root / "manifest.txt").exists():
        return root
    lines = []
    for i in range(count):
        rel = f"data/d{i % 50:02}/f{i:05}.pak"
        data = os.urandom(size)
        (game / rel).parent.mkdir(parents=True, exist_ok=True)
        (game / rel).write_bytes(data)
        lines.append(f"{hashlib.md5(data).hexdigest()}\t{size}\t{rel}\n")
    (root / "manifest.txt").write_text("".join(lines))
    return root


def make_download(root, size):
    """root/server/files/big.bin of size bytes and its manifest."""
    big = root / "server" / "files" / "big.bin"
    if not big.exists():
        big.parent.mkdir(parents=True, exist_ok=True)
        digest = hashlib.md5()
        with open(big, "wb") as out:
            for _ in range(size >> 20):
                chunk = os.urandom(1 << 20)
                digest.update(chunk)
                out.write(chunk)
        (root / "server" / "manifest.txt").write_text(f"{digest.hexdigest()}\t{size}\tbig.bin\n")
    return root


# -------------------------------------------------------------------- nginx

def start_nginx(server, pki, work, secure=True):
    """nginx over a server folder (it serves server/current) on a free
    loopback port, HTTPS or plain HTTP (as a cache on the same machine
    reaches it), with the shipped configuration filled in by
    korvanth-nginx-conf exactly as the hosting guide fills it in. Its pid
    file and logs go to work/nginx-https or work/nginx-http. Returns
    (process, port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    run = work / ("nginx-https" if secure else "nginx-http")
    run.mkdir(exist_ok=True)
    listen = f"127.0.0.1:{port}" + (" ssl" if secure else "")
    conf = subprocess.run([str(REPO / "tools" / "nginx" / "korvanth-nginx-conf"), "--run", str(run), "--listen", listen,
                           "--cert", str(pki / "trusted.pem"), "--key", str(pki / "trusted.pem"), "--server",
                           str(server)], check=True, capture_output=True, text=True).stdout
    (run / "nginx.conf").write_text(conf)
    proc = subprocess.Popen(["taskset", "-c", "0", "nginx", "-p", str(run), "-c", str(run / "nginx.conf"),
                             "-g", "daemon off; user root;"])
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert proc.poll() is None, (run / "error.log").read_text()
            time.sleep(0.05)
    return proc, port


class Throttle:
    """A TCP relay on loopback that carries at most rate bytes a second each
    way on each connection, in front of a server's port: a player's line, with
    the server's configuration left as it is."""

    def __init__(self, port, rate):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, args=(port, rate), daemon=True).start()

    def accept(self, port, rate):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", port))
            for source, sink in ((client, server), (server, client)):
                threading.Thread(target=self.pump, args=(source, sink, rate), daemon=True).start()

    @staticmethod
    def pump(source, sink, rate):
        start, sent = time.perf_counter(), 0
        try:
            while chunk := source.recv(65536):
                sink.sendall(chunk)
                sent += len(chunk)
                ahead = sent / rate - (time.perf_counter() - start)
                if ahead > 0:
                    time.sleep(ahead)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        self.listener.close()


# ---------------------------------------------------------------- measuring

def until_ending(cmd, cwd, sink="pipe"):
    """Seconds from start until an ending line appears on the program's output."""
    start = time.perf_counter()
    if sink == "file":
        out_path = cwd / "console.txt"
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(PIN + cmd, cwd=cwd, stdout=out, stdin=subprocess.DEVNULL, env=env())
            while True:
                text = out_path.read_bytes()
                if ended(text) or proc.poll() is not None:
                    break
                time.sleep(0.002)
    else:
        if sink == "tty":
            cmd = ["script", "-qfec", " ".join(map(str, PIN + cmd)), "/dev/null"]
        else:
            cmd = PIN + cmd
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env())
        text = b""
        while not ended(text):
            chunk = proc.stdout.read1(65536)
            if not chunk:
                break
            # Wine's console on a terminal wraps every character in escape sequences.
            text = ESCAPES.sub(b"", text + chunk)
    elapsed = time.perf_counter() - start
    assert ended(text), text[-300:]
    proc.kill()
    proc.wait()
    return elapsed


def wall(cmd, cwd):
    start = time.perf_counter()
    subprocess.run(PIN + cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_kib(cmd, cwd):
    """Peak resident memory of the Windows process (the Wine process itself)."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + PIN + cmd, cwd=cwd, env=env(),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return int(result.stderr.decode().strip().splitlines()[-1])


def median(fn, runs, before=None):
    times = []
    for _ in range(runs):
        if before:
            before()
        times.append(fn())
    return statistics.median(times)


def paired(ours, floor, runs, before=None):
    """Medians of both, run in turns so that a slow spell of the machine (disk
    write-back, say) falls on both alike, after one untimed run of each, so
    that neither pays alone for reading the data into the page cache. The
    turns go ours, floor, floor, ours, ... over an even number of rounds:
    over HTTPS under Wine every other download here is slow, whichever
    program makes it, and plain turns would give all the slow ones to one
    side."""
    for fn in (ours, floor):
        if before:
            before()
        fn()
    a, b = [], []
    for round in range(runs + runs % 2):
        for fn, times in ((ours, a), (floor, b))[::1 if round % 2 == 0 else -1]:
            if before:
                before()
            times.append(fn())
    return statistics.median(a), statistics.median(b)


# ---------------------------------------------------------------------- rows

def game_folder(root, url):
    """A game folder that holds the updater beside root's files."""
    game = root / "game"
    game.mkdir(parents=True, exist_ok=True)
    shutil.copy(BUILD / "KorvanthUpdater.exe", game)
    shutil.copy(BUILD / "tests" / "SignedUpdater.exe", game)
    shutil.copy(BUILD / "bench" / "floor.exe", game)
    shutil.copy(BUILD / "tests" / "StandInGame.exe", game / "Korvanth.exe")
    (game / "update.url").write_text(url + "\n")
    return game


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small data sets, for trying the script")
    args = parser.parse_args()
    scale = 16 if args.quick else 1

    global WORK, PREFIX
    WORK = Path(tempfile.mkdtemp(prefix="korvanth-bench-", dir="/var/tmp"))
    PREFIX = WORK / "wine64"
    try:
        measure(args, scale)
    finally:
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(env(), WINEPREFIX=str(PREFIX)))
        shutil.rmtree(WORK, ignore_errors=True)


def measure(args, scale):
    pki = make_pki(WORK / "pki")
    ca_pem = pki / "ca.pem"
    ca_pem.write_text(ssl.DER_cert_to_PEM_cert((pki / "ca.der").read_bytes()))
    subprocess.run([str(WINE), "--init"], check=True, env=env())
    subprocess.run([str(WINE), str(BUILD / "tests" / "TrustCa.exe"), str(pki / "ca.der")], check=True,
                   env=env(), cwd=pki)
    # The Wine server belongs to what is measured: onto CPU 1 with it.
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(env(), WINEPREFIX=str(PREFIX)))
    time.sleep(0.5)
    subprocess.run(PIN + ["/usr/lib/wine/wineserver", "-p120"], env=dict(env(), WINEPREFIX=str(PREFIX)),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    serve = WORK / "serve"
    serve.mkdir(exist_ok=True)
    big = make_tree(WORK / f"big{scale}", 1000 // scale, 1 << 20)
    small = make_tree(WORK / f"small{scale}", 20000 // scale, 1024)
    for name, root in (("big", big), ("small", small)):
        (serve / name).mkdir(exist_ok=True)
        shutil.copy(root / "manifest.txt", serve / name / "manifest.txt")
    site = WORK / "site"
    site.mkdir(exist_ok=True)
    if not (site / "current").is_symlink():
        (site / "current").symlink_to(serve)
    nginx, http_port = start_nginx(site, pki, WORK, secure=False)
    nginx_tls, https_port = start_nginx(site, pki, WORK)
    # Downloads land in memory: the disk's write-back otherwise swamps what is measured.
    ram = WORK / "ram"
    ram.mkdir(exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3g", "tmpfs", str(ram)], check=True)
    rows, notes, signed_rows = [], [], []
    try:
        # 1. Verification of an up-to-date client.
        for name, root, count in (("1 GiB in 1,000 files", big, 1000 // scale),
                                  ("20,000 files of 1 KiB", small, 20000 // scale)):
            url = f"http://127.0.0.1:{http_port}/{'big' if root is big else 'small'}/"
            game = game_folder(root, url)
            ours, floor = paired(lambda: until_ending([str(WINE), str(game / "KorvanthUpdater.exe")], game),
                                 lambda: until_ending([str(WINE), str(game / "floor.exe"), "verify", url], game),
                                 args.runs)
            files = [str(p.relative_to(game)) for p in sorted((game / "data").rglob("*.pak"))]
            (root / "list.txt").write_text("\n".join(files) + "\n")
            md5sum = median(lambda: wall(["xargs", "-a", str(root / "list.txt"), "md5sum"], game), args.runs)
            rows.append((f"verify {name}", ours, floor, "md5sum", md5sum,
                         f"{ours / count * 1000:.3f} ms/file"))
            os.environ["FLOOR_NO_PRELOAD"] = "1"
            unloaded = median(lambda: until_ending([str(WINE), str(game / "floor.exe"), "verify", url], game),
                              args.runs)
            del os.environ["FLOOR_NO_PRELOAD"]
            notes.append(f"verify {name}: floor {floor / count * 1000:.3f} ms/file with the provider DLL kept "
                         f"loaded, {unloaded / count * 1000:.3f} ms/file without")

        # 2. A large download over HTTP and HTTPS; 3. where the console output of
        # a smaller one goes (on a terminal every print costs milliseconds).
        downloads = [("http", (512 << 20) // scale, "pipe"), ("https", (512 << 20) // scale, "pipe")]
        downloads += [("http", (16 << 20) // scale, sink) for sink in ("pipe", "file", "tty")]
        for scheme, size, sink in downloads:
            port = http_port if scheme == "http" else https_port
            host = "127.0.0.1" if scheme == "http" else "localhost"
            folder = f"dl{size >> 20}"
            if not (serve / folder).exists():
                (serve / folder).symlink_to(make_download(WORK / f"dl-{size >> 20}", size) / "server")
            url = f"{scheme}://{host}:{port}/{folder}/"
            game = game_folder(ram / f"dl-{scheme}-{size >> 20}", url)
            target = game / "big.bin"

            def reset():
                target.unlink(missing_ok=True)

            ours, floor = paired(
                lambda: until_ending([str(WINE), str(game / "KorvanthUpdater.exe")], game, sink),
                lambda: until_ending([str(WINE), str(game / "floor.exe"), "download", url, "big.bin", str(size)],
                                     game, sink), args.runs, reset)
            trust = ["--cacert", str(ca_pem)] if scheme == "https" else []
            curl = median(lambda: wall(["curl", "-s", "-o", str(WORK / "curl.bin")] + trust +
                                       [url + "files/big.bin"], WORK), args.runs)
            rows.append((f"download {size >> 20} MiB, {scheme}, console: {sink}", ours, floor, "curl -o",
                         curl, f"{size / ours / 1e6:.0f} MB/s"))

        # 5. Signed releases: the updater built with the tests' key against
        # the one built without, in turns on the same folder, each with the
        # manifest korvanth-publish makes of the same files with --sign and
        # without.
        key = BUILD / "tests" / "release-keys" / "studio.pem"
        throttle = Throttle(http_port, PLAYER_RATE)
        plain_release = WORK / "dl-release"
        plain_release.mkdir(exist_ok=True)
        size = (128 << 20) // scale
        os.link(make_download(WORK / f"dl-{size >> 20}", size) / "server" / "files" / "big.bin",
                plain_release / "big.bin")
        sets = [(f"verify {name}", root / "game", None, None)
                for name, root in (("1 GiB in 1,000 files", big), ("20,000 files of 1 KiB", small))]
        sets += [(f"download {size >> 20} MiB, http, at {PLAYER_RATE * 8 / 1e6:.0f} Mbit/s", plain_release,
                  throttle.port, ram / "signed-slow"),
                 (f"download {size >> 20} MiB, http, loopback", plain_release, http_port, ram / "signed-fast")]
        for name, release, port, download_game in sets:
            urls = {}
            for kind, sign in (("plain", []), ("signed", ["--sign", str(key)])):
                published = WORK / f"published-{len(signed_rows)}-{kind}"
                subprocess.run([str(TOOL), "--quiet", *sign, str(release), str(published)], check=True)
                (serve / published.name).symlink_to(published / "current")
                urls[kind] = f"http://127.0.0.1:{port or http_port}/{published.name}/"
            game = download_game and game_folder(download_game, urls["plain"]) or release

            def run_as(kind, exe):
                (game / "update.url").write_text(urls[kind] + "\n")
                (game / "big.bin").unlink(missing_ok=True)
                return until_ending([str(WINE), str(game / exe)], game)

            signed, plain = paired(lambda: run_as("signed", "SignedUpdater.exe"),
                                   lambda: run_as("plain", "KorvanthUpdater.exe"), args.runs)
            signed_rows.append((name, signed, plain))
        throttle.close()

        # 4. Peak memory of the updater for downloads of growing size.
        memory = []
        for mib in (1, 100, 1024 // scale):
            root = make_download(WORK / f"mem{mib}", mib << 20)
            if not (serve / f"mem{mib}").exists():
                (serve / f"mem{mib}").symlink_to(root / "server")
            game = game_folder(WORK / f"mem{mib}-game", f"http://127.0.0.1:{http_port}/mem{mib}/")
            (game / "big.bin").unlink(missing_ok=True)
            memory.append((mib, peak_kib([str(WINE), str(game / "KorvanthUpdater.exe")], game)))
    finally:
        for proc in (nginx, nginx_tls):
            proc.terminate()
            proc.wait()
        subprocess.run(["umount", "-l", str(ram)])

    print(f"\n{'row':<44} {'updater':>9} {'floor':>9} {'ratio':>6}   {'peer':<8} {'peer s':>8} {'ratio':>6}  note")
    for name, ours, floor, peer, peer_time, note in rows:
        print(f"{name:<44} {ours:9.3f} {floor:9.3f} {ours / floor:6.2f}   {peer:<8} {peer_time:8.3f} "
              f"{ours / peer_time:6.2f}  {note}")
    for note in notes:
        print(note)
    print(f"\n{'signed release, the updater built with a key':<44} {'signed':>9} {'unsigned':>9} {'ratio':>6}")
    for name, signed, plain in signed_rows:
        print(f"{name:<44} {signed:9.3f} {plain:9.3f} {signed / plain:6.3f}")
    print("\npeak resident memory of the updater process (Wine process, KiB):")
    for mib, kib in memory:
        print(f"  download of {mib:>5} MiB: {kib} KiB")
    print(f"  spread: {(max(k for _, k in memory) - min(k for _, k in memory)) / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
