#!/usr/bin/env python3
"""The updater's main job on a small sample release: publishes it, signed
with the studio's release key, from a local HTTPS patch server on loopback
(with a CA of its own that only the demo's Wine prefix trusts), gives a game
folder an older client, and runs the updater (built with the key's public
half) under Wine as a player would: the first run updates, the second finds
the client current. Then a mirror that swapped a file and rewrote its line
in the manifest: the updater refuses it and starts the game as it is. Last,
the operator's check of both servers. Called by demo.sh once everything is
built."""

import functools
import hashlib
import http.server
import os
import shutil
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

from local_pki import make_pki

REPO = Path(__file__).resolve().parents[1]
BUILD = REPO / "build" / "x86_64"
DEMO = REPO / "build" / "demo"
WINE = REPO / "scripts" / "wine-x86_64.sh"
PREFIX = Path("/var/tmp/korvanth-demo-wine64")
PUBLISH = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"
UPDATER = REPO / "build" / "demo-updater" / "KorvanthUpdater.exe"
KEYS = REPO / "build" / "demo-keys"

RELEASE = {
    "Korvanth.exe": None,  # the stand-in game, copied from the build
    "data/maps/town.map": bytes((i * 7) % 251 for i in range(150_000)),
    "data/sounds/bell.wav": bytes(range(256)) * 120,
    "data/version.txt": b"Korvanth 1.1\r\n",
    "readme.txt": b"Korvanth: notas de la version 1.1\r\n",
}
OLD_CLIENT = {"data/version.txt": b"Korvanth 1.0\r\n", "readme.txt": RELEASE["readme.txt"]}


def publish(release, release_dir, server_dir):
    """The operator's way: the release as a folder, published and signed with the tool."""
    for path, data in release.items():
        target = release_dir / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    # The tool's own state goes with the demo's server folder, made anew each run.
    subprocess.run([str(PUBLISH), "--sign", str(KEYS / "studio.pem"), str(release_dir), str(server_dir)], check=True,
                   env=dict(os.environ, KORVANTH_PUBLISH_STATE=str(DEMO / "publisher-state")))


def tampered_copy(live, copy):
    """A mirror that serves its own data/version.txt, its MD5 line rewritten to match."""
    shutil.copytree(live, copy)
    forged = b"Korvanth 6.6.6, not the studio's\r\n"
    (copy / "files" / "data" / "version.txt").chmod(0o644)
    (copy / "files" / "data" / "version.txt").write_bytes(forged)
    manifest = (copy / "manifest.txt").read_text().splitlines(keepends=True)
    (copy / "manifest.txt").chmod(0o644)
    (copy / "manifest.txt").write_text("".join(
        f"{hashlib.md5(forged).hexdigest()}\t{len(forged)}\tdata/version.txt\n" if line.endswith("\tdata/version.txt\n")
        and not line.startswith("#") else line for line in manifest))


def serve(folder, pki):
    """An HTTPS server on loopback for folder; returns it and its base URL."""
    handler = functools.partial(QuietHandler, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(pki / "trusted.pem"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"https://localhost:{server.server_port}/"


def run_updater(game):
    print(f"\n$ wine {game / 'KorvanthUpdater.exe'}   (started from {DEMO})\n", flush=True)
    started = game / "game_started.txt"
    started.unlink(missing_ok=True)
    result = subprocess.run([str(WINE), str(game / "KorvanthUpdater.exe")], cwd=DEMO,
                            stdin=subprocess.DEVNULL, env=demo_env())
    # The game is started, not waited for: its record may come a moment later.
    for _ in range(100):
        if started.exists():
            break
        time.sleep(0.05)
    lines = started.read_text(encoding="utf-8").splitlines() if started.exists() else []
    where = next((line for line in lines if line.startswith("cwd=")), "not started")
    print(f"\n[demo] exit code {result.returncode}; game: {where}", flush=True)


def demo_env():
    return dict(os.environ, KORVANTH_WINEPREFIX=str(PREFIX))


def trust(pki):
    """The demo's CA goes into the demo's own Wine prefix, and nowhere else."""
    subprocess.run([str(WINE), "--init"], check=True, env=demo_env())
    subprocess.run([str(WINE), str(BUILD / "tests" / "TrustCa.exe"), str(pki / "ca.der")], check=True,
                   cwd=pki, stdin=subprocess.DEVNULL, env=demo_env())


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    game = DEMO / "game"
    server_dir = DEMO / "server"
    game.mkdir(parents=True)
    game_exe = (BUILD / "tests" / "StandInGame.exe").read_bytes()
    release = dict(RELEASE, **{"Korvanth.exe": game_exe})
    publish(release, DEMO / "release", server_dir)
    tampered_copy(server_dir / "current", DEMO / "tampered mirror")

    shutil.copy(UPDATER, game)
    for path, data in OLD_CLIENT.items():
        (game / path).parent.mkdir(parents=True, exist_ok=True)
        (game / path).write_bytes(data)

    pki = make_pki(REPO / "build" / "demo-pki")
    trust(pki)
    # The live release, as nginx serves it in production (docs/hosting.md).
    server, url = serve(server_dir / "current", pki)
    mirror, mirror_url = serve(DEMO / "tampered mirror", pki)
    (game / "update.url").write_text(url + "\n")
    print(f"[demo] patch server {url} serving {len(release)} files from {server_dir}, signed with {KEYS / 'studio.pem'}")
    try:
        run_updater(game)
        run_updater(game)
        # A player whose update.url (a mod installer's, say) sends them to the
        # tampered mirror, with a file to update: nothing is taken from it.
        (game / "data" / "version.txt").write_bytes(OLD_CLIENT["data/version.txt"])
        (game / "update.url").write_text(mirror_url + "\n")
        print(f"\n[demo] the mirror {mirror_url} swapped data/version.txt and rewrote its line in the manifest")
        run_updater(game)
        print(f"[demo] data/version.txt is still {(game / 'data' / 'version.txt').read_bytes()!r}")
        for target in (url, mirror_url):
            check = [str(PUBLISH), "--check", "--release-key", str(KEYS / "studio.pub.pem"), "--cacert",
                     str(pki / "ca.pem"), target]
            print(f"\n$ korvanth-publish --check --release-key {KEYS / 'studio.pub.pem'} --cacert "
                  f"{pki / 'ca.pem'} {target}", flush=True)
            code = subprocess.run(check).returncode
            print(f"[demo] exit code {code}", flush=True)
            assert code == (0 if target == url else 1)
    finally:
        server.shutdown()
        mirror.shutdown()
        print("[demo] patch servers stopped")
    return 0


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


if __name__ == "__main__":
    sys.exit(main())
