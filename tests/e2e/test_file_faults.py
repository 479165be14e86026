"""What can go wrong with one game file, row by row. Whatever happens: the
run goes on with the next file, the old file stays until a verified copy
replaces it, no temporary file is left behind, the game starts, exit code 0."""

import shutil
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager, nullcontext
from pathlib import Path

import pytest

from harness import (BUILDS, COMPLETE, HASH_FAILED, NO_SERVER, PatchServer, Progress, Reply, check_transcript, header,
                     make_game, md5, run_updater, snapshot, with_failures)

OLD = {"a.dat": b"old a", "b.dat": b"old b", "c.dat": b"old c"}
NEW = {"a.dat": b"new a" * 500, "b.dat": b"new b" * 500, "c.dat": b"new c" * 500}
KB = sum(len(d) >> 10 for d in NEW.values())
CORRUPTED = Reply(body=b"new b" * 499 + b"NEW B")


@contextmanager
def holding(build, path):
    """Another Windows program holds path open for writing, sharing reads only."""
    wrapper, build_dir = BUILDS[build]
    holder = subprocess.Popen([str(wrapper), str(build_dir / "tests" / "unit_tests.exe"), "--holder", str(path)],
                              cwd=path.parent, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.read(1) == b"R", "the holder could not open the file"
        yield
    finally:
        holder.kill()
        holder.wait()


@pytest.mark.parametrize("name, replies, digests, held, trouble", [
    ("404", {"b.dat": Reply(status=404)}, {}, None, {"b.dat": []}),
    ("corrupted body", {"b.dat": CORRUPTED}, {}, None, {"b.dat": [Progress(2500), HASH_FAILED]}),
    ("upper-case digest in the manifest", {}, {"b.dat": md5(NEW["b.dat"]).upper()}, None,
     {"b.dat": [Progress(2500), HASH_FAILED]}),
    ("two files fail", {"b.dat": Reply(status=404), "c.dat": CORRUPTED}, {}, None,
     {"b.dat": [], "c.dat": [Progress(2500), HASH_FAILED]}),
    ("target held open by another program", {}, {}, "b.dat",
     {"b.dat": [Progress(2500), "    [!] No pude reemplazar el archivo (en uso? error 5)\n"]}),
])
def test_failed_files_keep_their_old_copies(tmp_path, build, server, name, replies, digests, held, trouble):
    server.publish(NEW)
    server.routes.update({"files/" + path: reply for path, reply in replies.items()})
    for path, digest in digests.items():
        server.routes["manifest.txt"].body = server.routes["manifest.txt"].body.replace(
            md5(NEW[path]).encode(), digest.encode())
    # A longer download left by an interrupted run must not leave its tail
    # in the new copy, nor stay behind.
    game = make_game(tmp_path, build, dict(OLD, **{"c.dat.kvdl": b"half a download" * 400}),
                     update_url=server.url)

    with holding(build, game / held) if held else nullcontext():
        run = run_updater(tmp_path, build, expect_prompt=True)

    pieces = [piece for i, path in enumerate(NEW)
              for piece in [f" [{i + 1}/3] {path}\n", *trouble.get(path, [Progress(len(NEW[path]))])]]
    check_transcript(run.stdout, [header(server.url), " Verificando 3 archivos...\n",
                                  f"\n Hay 3 archivo(s) para actualizar ({KB} KB):\n\n", *pieces,
                                  with_failures(len(trouble))])
    after = snapshot(game)
    assert not [p for p in after if p.endswith(".kvdl")], "temporary file left behind"
    assert {p: after[p] for p in NEW} == {p: OLD[p] if p in trouble else NEW[p] for p in NEW}


def test_disk_filling_up_during_a_download(tmp_path, build, server):
    big = bytes(i % 251 for i in range(600_000))
    files = {"small/a.dat": b"x" * 3000, "full/big.bin": big, "small/c.dat": b"y" * 3000}
    server.publish(files)
    game = make_game(tmp_path, build, {"full/big.bin": b"old big"}, update_url=server.url)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(game / "full")], check=True)
    try:
        (game / "full" / "big.bin").write_bytes(b"old big")
        if build == "i686":
            # Its Wine server would not see a mount made after it started.
            subprocess.run([str(BUILDS[build][0]), "--stop-server"], check=True)
        run = run_updater(tmp_path, build, expect_prompt=True)
        assert (game / "full" / "big.bin").read_bytes() == b"old big"
    finally:
        subprocess.run(["umount", str(game / "full")], check=True)
    check_transcript(run.stdout, [
        header(server.url), " Verificando 3 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({2 + 585 + 2} KB):\n\n",
        " [1/3] small/a.dat\n", Progress(3000),
        " [2/3] full/big.bin\n", Progress(600_000, partial=True),
        " [3/3] small/c.dat\n", Progress(3000), with_failures(1)])
    assert (game / "small" / "c.dat").read_bytes() == files["small/c.dat"]


@pytest.fixture
def short_tmp():
    """A folder right below /tmp, so that the game folder's Windows path is
    short (19 characters) and a long manifest path is judged on its own."""
    folder = Path(tempfile.mkdtemp(prefix="kv", dir="/tmp"))
    yield folder
    shutil.rmtree(folder)


# No length is refused: a path Windows cannot take fails and is counted. Wine
# takes names of up to 260 characters whatever the folder (Windows counts the
# whole path), so the rows stay where both agree: 201 bytes update here (226
# characters in all), 256 bytes fail anywhere (261 with ".kvdl").
@pytest.mark.parametrize("length, fails", [(201, False), (256, True)])
def test_long_paths(short_tmp, build, server, length, fails):
    long = "/".join(["p" * 99, "q" * 99, "r" * (length - 200)])
    server.publish({long: NEW["a.dat"], "b.dat": NEW["b.dat"]})
    game = make_game(short_tmp, build, update_url=server.url, folder="g")

    run = run_updater(short_tmp, build, expect_prompt=fails, folder="g")

    check_transcript(run.stdout, [
        header(server.url), " Verificando 2 archivos...\n", "\n Hay 2 archivo(s) para actualizar (4 KB):\n\n",
        f" [1/2] {long}\n", *([] if fails else [Progress(2500)]), " [2/2] b.dat\n", Progress(2500),
        with_failures(1) if fails else COMPLETE])
    assert (game / long).is_file() != fails
    assert (game / "b.dat").read_bytes() == NEW["b.dat"]


# (name, what the server paces, (bytes, seconds) at a time, the run's end)
SLOW = [
    ("a manifest at a byte every 10 s", "manifest.txt", (1, 10), "no server"),
    ("a file at a byte every 10 s", "files/data/a.pak", (1, 10), "failed"),
    ("an honest 8 KiB/s, in one-second bursts", "files/data/a.pak", (8192, 1), "complete"),
]


def test_slow_servers_never_keep_a_player_from_the_game(tmp_path):
    """Every row on both builds at once: the slow ones take most of a minute."""
    data = bytes(i % 251 for i in range(400 << 10))

    def run(build, name, paced, pace, end):
        folder = tmp_path / f"{build}-{name.split()[1]}-{pace[0]}"
        server = PatchServer()
        server.publish({"data/a.pak": data})
        server.routes[paced].pace = pace
        make_game(folder, build, {}, update_url=server.url)
        started = time.monotonic()
        try:
            result = run_updater(folder, build, expect_prompt=end == "failed")
            return result, time.monotonic() - started, folder, server.url
        finally:
            server.shutdown()
            server.server_close()

    with ThreadPoolExecutor(len(SLOW) * len(BUILDS)) as pool:
        runs = [(case, pool.submit(run, build, *case)) for build in BUILDS for case in SLOW]
    for (name, _, _, end), done in runs:
        result, took, folder, url = done.result()
        file_lines = [" Verificando 1 archivos...\n", "\n Hay 1 archivo(s) para actualizar (400 KB):\n\n",
                      " [1/1] data/a.pak\n", Progress(len(data), partial=end == "failed")]
        check_transcript(result.stdout, [header(url), *{"no server": [NO_SERVER], "failed": [
            *file_lines, with_failures(1)], "complete": [*file_lines, COMPLETE]}[end]])
        assert end == "complete" or took < 90, (name, took)
        assert ((folder / "game" / "data" / "a.pak").exists()) == (end == "complete"), name
