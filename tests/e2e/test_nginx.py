"""The real deployment: releases published with korvanth-publish, served by
nginx with the configuration the hosting guide gives (HTTPS, the tests' CA),
the updater run against it, and the release tool's check of the live server."""

import hashlib
import socket
import subprocess
import time

import pytest

from harness import (COMPLETE, REPO, UP_TO_DATE, BUILDS, Progress, check_transcript, header,
                     make_game, run_updater, snapshot)

TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"
CONFIG = REPO / "tools" / "nginx" / "korvanth-patch.conf"


@pytest.fixture
def nginx(tmp_path_factory, pki):
    """Starts nginx on a free loopback port over a server folder; yields (url, folder)."""
    run = tmp_path_factory.mktemp("nginx")
    server = run / "server"
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    config = CONFIG.read_text()
    for name, value in {"@RUN@": run, "@PORT@": port, "@CERT@": pki / "trusted.pem",
                        "@KEY@": pki / "trusted.pem", "@SERVER@": server}.items():
        config = config.replace(name, str(value))
    (run / "nginx.conf").write_text(config)
    # Root here only because the tests' folders are private to root.
    proc = subprocess.Popen(["nginx", "-p", str(run), "-c", str(run / "nginx.conf"),
                             "-g", "daemon off; user root;"], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert proc.poll() is None, proc.stderr.read().decode()
            time.sleep(0.05)
    yield f"https://localhost:{port}/", server
    proc.terminate()
    proc.wait(10)


def publish(release_dir, files, server, *options):
    for path, data in files.items():
        (release_dir / path).parent.mkdir(parents=True, exist_ok=True)
        (release_dir / path).write_bytes(data)
    result = subprocess.run([str(TOOL), *options, str(release_dir), str(server)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


# One file per class of name the release tool accepts: each must come back
# under its own name through nginx and the updater.
ACCEPTED = {
    "letters and digits": "Data/Maps2/Town01.MAP",
    "blanks": " lead/two  blanks.txt",
    "punctuation": "p/!#$&'()+,-;=@[]^_`{}~.dat",
    "dots": ".hidden/dots...name.tar.gz",
}


def test_every_accepted_name_round_trips(tmp_path, build, nginx):
    url, server = nginx
    files = {path: path.encode() * 40 for path in ACCEPTED.values()}
    files["Korvanth.exe"] = (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes()
    publish(tmp_path.parent / f"release-{build}", files, server)
    game = make_game(tmp_path, build, update_url=url)

    first = run_updater(tmp_path, build)

    order = sorted(ACCEPTED.values())
    kb = sum(len(files[path]) >> 10 for path in order)
    check_transcript(first.stdout, [
        header(url), " Verificando 5 archivos...\n", f"\n Hay 4 archivo(s) para actualizar ({kb} KB):\n\n",
        *[piece for i, path in enumerate(order) for piece in (f" [{i + 1}/4] {path}\n", Progress(len(files[path])))],
        COMPLETE])
    on_disk = snapshot(game)
    assert {name: on_disk.get(path) for name, path in ACCEPTED.items()} == \
        {name: files[path] for name, path in ACCEPTED.items()}

    second = run_updater(tmp_path, build)
    check_transcript(second.stdout, [header(url), " Verificando 5 archivos...\n", UP_TO_DATE])


def test_rollback_serves_the_previous_release_again(tmp_path, build, nginx):
    url, server = nginx
    release = tmp_path.parent / f"rollback-{build}"
    v1 = {"Korvanth.exe": (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes(),
          "data/town.map": b"town v1" * 300}
    publish(release, v1, server)
    publish(release, {"data/town.map": b"town v2" * 300}, server)
    rolled = subprocess.run([str(TOOL), "--rollback", str(server)], capture_output=True, text=True)
    assert rolled.returncode == 0, rolled.stderr
    game = make_game(tmp_path, build, {"data/town.map": b"town v2" * 300}, update_url=url)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [
        header(url), " Verificando 2 archivos...\n", "\n Hay 1 archivo(s) para actualizar (2 KB):\n\n",
        " [1/1] data/town.map\n", Progress(2100), COMPLETE])
    assert (game / "data" / "town.map").read_bytes() == v1["data/town.map"]


RELEASE = {"Korvanth.exe": b"MZ game", "data/a b.pak": bytes(range(256)) * 300, "readme.txt": b"hola\r\n"}


@pytest.mark.parametrize("name, damage, base, message", [
    ("served as published", None, "", None),
    ("a file changed behind nginx's back",
     lambda live: (live / "files" / "readme.txt").write_bytes(b"HOLA\r\n"), "",
     f"readme.txt: digest {hashlib.md5(b'HOLA' + bytes([13, 10])).hexdigest()}, manifest says"),
    ("a file missing", lambda live: (live / "files" / "data" / "a b.pak").unlink(), "", "data/a b.pak: status 404"),
    ("a base URL with nothing below it", None, "elsewhere/", "elsewhere/manifest.txt: status 404"),
])
def test_check_of_a_live_server(tmp_path, nginx, pki, name, damage, base, message):
    url, server = nginx
    publish(tmp_path / "release", RELEASE, server)
    if damage:
        damage(server / "current")

    result = subprocess.run([str(TOOL), "--check", "--cacert", str(pki / "ca.pem"), url + base],
                            capture_output=True, text=True)

    if message is None:
        assert (result.returncode, result.stdout) == (0, f"ok: 3 files (76813 bytes) served by {url}\n"), \
            result.stderr
    else:
        assert result.returncode == 1 and message in result.stderr, result.stderr
