"""What can go wrong with one game file, row by row. Whatever happens: the
run goes on with the next file, the old file stays until a verified copy
replaces it, no temporary file is left behind, the game starts, exit code 0."""

import subprocess
from contextlib import contextmanager

import pytest

from harness import (BUILDS, COMPLETE, HASH_FAILED, Progress, Reply, check_transcript,
                     header, make_game, md5, run_updater, snapshot,
                     with_failures)

OLD = {"a.dat": b"old a", "b.dat": b"old b", "c.dat": b"old c"}
NEW = {"a.dat": b"new a" * 500, "b.dat": b"new b" * 500, "c.dat": b"new c" * 500}
KB = sum(len(d) >> 10 for d in NEW.values())


def run_rows(tmp_path, build, server, expect_b, failures, old=OLD):
    """Runs over a client holding old, where only b.dat is in trouble."""
    make_game(tmp_path, build, old, update_url=server.url)
    run = run_updater(tmp_path, build, expect_prompt=failures > 0)
    ending = [with_failures(failures)] if failures else [COMPLETE]
    check_transcript(run.stdout, [
        header(server.url), " Verificando 3 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({KB} KB):\n\n",
        " [1/3] a.dat\n", Progress(len(NEW["a.dat"])),
        " [2/3] b.dat\n", *expect_b,
        " [3/3] c.dat\n", Progress(len(NEW["c.dat"])), *ending])
    after = snapshot(tmp_path / "game")
    assert not [p for p in after if p.endswith(".kvdl")], "temporary file left behind"
    assert after["a.dat"] == NEW["a.dat"] and after["c.dat"] == NEW["c.dat"]
    return after.get("b.dat")


@pytest.mark.parametrize("name, reply, manifest_md5, expect_b", [
    ("404", Reply(status=404), None, []),
    ("500", Reply(status=500, body=b"oops"), None, []),
    ("corrupted body", Reply(body=b"new b" * 499 + b"NEW B"), None, [Progress(2500), HASH_FAILED]),
    ("body cut short by a dropped connection",
     Reply(body=b"new b" * 100, headers={"Content-Length": "2500"}), None, [Progress(2500, 500), HASH_FAILED]),
    ("upper-case digest in the manifest", Reply(body=NEW["b.dat"]), md5(NEW["b.dat"]).upper(),
     [Progress(2500), HASH_FAILED]),
])
def test_a_failed_file_keeps_its_old_copy(tmp_path, build, server, name, reply, manifest_md5, expect_b):
    server.publish(NEW)
    server.routes["files/b.dat"] = reply
    if manifest_md5:
        server.routes["manifest.txt"].body = server.routes["manifest.txt"].body.replace(
            md5(NEW["b.dat"]).encode(), manifest_md5.encode())

    assert run_rows(tmp_path, build, server, expect_b, failures=1) == OLD["b.dat"]


@pytest.mark.parametrize("outcome", ["succeeds", "fails"])
def test_stale_temporary_file_from_an_interrupted_run(tmp_path, build, server, outcome):
    server.publish(NEW)
    if outcome == "fails":
        server.routes["files/b.dat"] = Reply(status=404)
    old = dict(OLD, **{"b.dat.kvdl": b"half a download"})

    b = run_rows(tmp_path, build, server, [] if outcome == "fails" else [Progress(2500)],
                 failures=1 if outcome == "fails" else 0, old=old)
    assert b == (OLD["b.dat"] if outcome == "fails" else NEW["b.dat"])


def test_stale_temporary_file_stays_while_its_file_is_current(tmp_path, build, server):
    server.publish(NEW)
    game = make_game(tmp_path, build, dict(NEW, **{"b.dat.kvdl": b"half"}), update_url=server.url)
    run_updater(tmp_path, build)
    assert (game / "b.dat.kvdl").read_bytes() == b"half"


def test_same_path_listed_twice_is_downloaded_twice(tmp_path, build, server):
    first, second = b"first" * 300, b"second" * 300
    server.routes["manifest.txt"] = Reply(body=(
        f"{md5(first)}\t{len(first)}\tdup.dat\n{md5(second)}\t{len(second)}\tdup.dat\n").encode())
    server.routes["files/dup.dat"] = Reply(body=second)
    game = make_game(tmp_path, build, update_url=server.url)

    run = run_updater(tmp_path, build, expect_prompt=True)

    check_transcript(run.stdout, [
        header(server.url), " Verificando 2 archivos...\n",
        f"\n Hay 2 archivo(s) para actualizar ({(1500 >> 10) + (1800 >> 10)} KB):\n\n",
        " [1/2] dup.dat\n", Progress(1800), HASH_FAILED,
        " [2/2] dup.dat\n", Progress(1800), with_failures(1)])
    assert (game / "dup.dat").read_bytes() == second
    assert server.requested().count("/files/dup.dat") == 2


@contextmanager
def holding(build, path):
    """Another Windows program holds path open for writing, without sharing."""
    wrapper, build_dir = BUILDS[build]
    holder = subprocess.Popen([str(wrapper), str(build_dir / "tests" / "unit_tests.exe"), "--holder", str(path)],
                              cwd=path.parent, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.read(1) == b"R", "the holder could not open the file"
        yield
    finally:
        holder.kill()
        holder.wait()


def test_target_held_open_is_refused_with_the_system_error(tmp_path, build, server):
    server.publish(NEW)
    game = make_game(tmp_path, build, OLD, update_url=server.url)
    with holding(build, game / "b.dat"):
        run = run_updater(tmp_path, build, expect_prompt=True)
    check_transcript(run.stdout, [
        header(server.url), " Verificando 3 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({KB} KB):\n\n",
        " [1/3] a.dat\n", Progress(2500),
        " [2/3] b.dat\n", Progress(2500),
        "    [!] No pude reemplazar el archivo (en uso? error 5)\n",
        " [3/3] c.dat\n", Progress(2500), with_failures(1)])
    assert (game / "b.dat").read_bytes() == OLD["b.dat"]
    assert not (game / "b.dat.kvdl").exists()
    assert (game / "c.dat").read_bytes() == NEW["c.dat"]


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
        assert not (game / "full" / "big.bin.kvdl").exists()
    finally:
        subprocess.run(["umount", str(game / "full")], check=True)
    check_transcript(run.stdout, [
        header(server.url), " Verificando 3 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({2 + 585 + 2} KB):\n\n",
        " [1/3] small/a.dat\n", Progress(3000),
        " [2/3] full/big.bin\n", Progress(600_000, "partial"),
        " [3/3] small/c.dat\n", Progress(3000), with_failures(1)])
    assert (game / "small" / "c.dat").read_bytes() == files["small/c.dat"]
