"""The real deployment: a release published with korvanth-publish, served by
nginx with the configuration the hosting guide gives (HTTPS, the tests' CA),
and the updater run over a stale client: it updates, then finds it current."""

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


def test_publish_serve_update(tmp_path, build, nginx):
    url, server = nginx
    release = tmp_path.parent / f"release-{build}"
    files = {"Korvanth.exe": (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes(),
             "data/maps/town.map": bytes(i % 251 for i in range(90_000)),
             "data/new/intro.txt": b"Bienvenido\r\n",
             "readme.txt": b"Korvanth 1.2\r\n"}
    for path, data in files.items():
        (release / path).parent.mkdir(parents=True, exist_ok=True)
        (release / path).write_bytes(data)
    published = subprocess.run([str(TOOL), str(release), str(server)], capture_output=True, text=True)
    assert published.returncode == 0, published.stderr
    game = make_game(tmp_path, build, {"readme.txt": b"Korvanth 1.1\r\n"}, update_url=url)

    first = run_updater(tmp_path, build)

    check_transcript(first.stdout, [
        header(url), " Verificando 4 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({90_000 >> 10} KB):\n\n",
        " [1/3] data/maps/town.map\n", Progress(90_000),
        " [2/3] data/new/intro.txt\n", Progress(12),
        " [3/3] readme.txt\n", Progress(14), COMPLETE])
    on_disk = snapshot(game)
    assert all(on_disk[path] == data for path, data in files.items())

    second = run_updater(tmp_path, build)
    check_transcript(second.stdout, [header(url), " Verificando 4 archivos...\n", UP_TO_DATE])
