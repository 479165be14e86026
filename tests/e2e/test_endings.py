"""The endings of an update run, for both built updaters under Wine, started
from another folder, and game folders as players have them: whole
transcript, the files on disk, and (checked by the runner on every run) exit
code 0, the ending's wait, the game started in the updater's folder and not
waited for, nothing touched outside the game folder."""

import re
import shutil

import pytest

from harness import (BANNER, BUILDS, COMPLETE, NO_FOLDER, UNEXPECTED, UP_TO_DATE, Progress, Reply,
                     check_transcript, game_missing, header, make_game, md5, run_updater, snapshot)

RELEASE = {
    "data/maps/town.map": bytes(i % 251 for i in range(200_000)),
    "data/empty.cfg": b"",
    "readme.txt": b"Korvanth 1.1\r\n",
    "bin/engine.dll": b"engine v2" * 300,
}


def test_complete_update_over_https_then_up_to_date(tmp_path, build, https_server, release_builds):
    server = https_server
    server.base_path = "/patch/"
    # Paths that would reach outside the game folder are dropped like junk.
    unsafe = ["../escape.txt", "..\\escape.txt", "data/../../escape.txt", "/escape.txt",
              "C:\\escape.txt", "readme.txt:stream", "NUL"]
    junk = ["# release 1.1", "", "not a manifest line"]
    server.publish(RELEASE, extra_lines=junk + [f"{md5(b'x')}\t1\t{path}" for path in unsafe])
    stale = {"readme.txt": b"Korvanth 1.0\r\n", "bin/engine.dll": RELEASE["bin/engine.dll"],
             "data/empty.cfg": b"leftover"}
    # No final '/': the same server folder must still be reached.
    game = make_game(tmp_path, build, stale, update_url=server.url.rstrip("/"))
    if build == "i686":
        # What players get: the release build, signed.
        shutil.copy(release_builds["signed"] / "KorvanthUpdater.exe", game)

    run = run_updater(tmp_path, build)

    kb = (200_000 >> 10) + (14 >> 10)
    check_transcript(run.stdout, [
        header(server.url.rstrip("/")), " Verificando 4 archivos...\n",
        f"\n Hay 3 archivo(s) para actualizar ({kb} KB):\n\n",
        " [1/3] data/maps/town.map\n", Progress(200_000),
        " [2/3] data/empty.cfg\n",
        " [3/3] readme.txt\n", Progress(14),
        COMPLETE])
    assert server.requested() == ["/patch/manifest.txt", "/patch/files/data/maps/town.map",
                                  "/patch/files/data/empty.cfg", "/patch/files/readme.txt"]
    files = snapshot(game)
    assert {path: files[path] for path in RELEASE} == RELEASE

    before = snapshot(tmp_path)
    again = run_updater(tmp_path, build)
    check_transcript(again.stdout, [header(server.url.rstrip("/")), " Verificando 4 archivos...\n",
                                    UP_TO_DATE])
    assert server.requested()[4:] == ["/patch/manifest.txt"]
    assert snapshot(tmp_path) == before


def test_memory_running_out_still_starts_the_game(tmp_path, build, server):
    # A manifest of 60 MiB, a line a file, in 200 MiB of memory.
    line = f"{md5(b'x')}\t1\tx\n".encode()
    server.routes["manifest.txt"] = Reply(body=line * ((60 << 20) // len(line)))
    game = make_game(tmp_path, build, update_url=server.url)
    before = snapshot(game)

    run = run_updater(tmp_path, build, data_limit=200 << 20)

    check_transcript(run.stdout, [header(server.url), UNEXPECTED])
    assert snapshot(game) == before


# DLLs game folders hold (mod loaders' proxies) or that the system loads for
# WinHTTP and CryptoAPI, as real DLLs exporting none of their functions; Wine
# is told to take a copy it finds first, as Windows does.
JUNK_DLLS = ["winhttp.dll", "webio.dll", "version.dll", "crypt32.dll", "rsaenh.dll"]
NATIVE_FIRST = ",".join(name[:-4] for name in JUNK_DLLS) + "=n,b"


@pytest.mark.parametrize("folder, junk_in", [
    ("Игра Korvanth", "the game folder"),
    ("コルヴァンス/游戏", "the start folder"),
])
def test_any_folder_name_and_other_programs_dlls(tmp_path, build, server, folder, junk_in):
    server.publish(RELEASE)
    game = make_game(tmp_path, build, dict(RELEASE, **{"readme.txt": b"Korvanth 1.0\r\n"}),
                     update_url=server.url, folder=folder)
    junk = game if junk_in == "the game folder" else tmp_path / "elsewhere"
    junk_dll = (BUILDS[build][1] / "tests" / "winhttp.dll").read_bytes()
    for name in JUNK_DLLS:
        (junk / name).write_bytes(junk_dll)

    run = run_updater(tmp_path, build, folder=folder, dll_overrides=NATIVE_FIRST)

    check_transcript(run.stdout, [
        header(server.url), " Verificando 4 archivos...\n",
        "\n Hay 1 archivo(s) para actualizar (0 KB):\n\n", " [1/1] readme.txt\n", Progress(14), COMPLETE])
    assert (game / "readme.txt").read_bytes() == RELEASE["readme.txt"]
    assert all((junk / name).read_bytes() == junk_dll for name in JUNK_DLLS)


def folder_of_length(tmp, length):
    """A folder below tmp, of names Linux takes, whose Windows path ("Z:"
    and the path, as GetModuleFileNameW gives it) is length characters."""
    count, rest = divmod(length - len("Z:" + str(tmp)) - 1 - 1, 101)
    return "/".join(["d" * 100] * count + ["d" * (rest + 1)])


# Windows enters a current folder of at most 258 characters, and starts no
# program whose path passes 259: at the limit the game cannot be started
# (Wine's error, then the key prompt; which of "not found" or "invalid name"
# Wine says depends on its memory, and changes from one build of the updater
# to the next). Windows drops a name's trailing blank, so "game " cannot be
# entered by its name; the game starts from the start folder.
@pytest.mark.parametrize("folder, entered, launch_error", [(258, True, True), (259, False, True), ("game ", False, None)])
def test_folder_that_cannot_be_entered_is_left_alone(tmp_path, build, server, folder, entered, launch_error):
    if isinstance(folder, int):
        folder = folder_of_length(tmp_path, folder)
    server.publish(RELEASE)
    game = make_game(tmp_path, build, dict(RELEASE, **{"readme.txt": b"old"}), update_url=server.url,
                     folder=folder)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build, expect_prompt=launch_error is not None, folder=folder,
                      game_starts=launch_error is None, started_in=tmp_path / "elsewhere")

    said = re.search(r'No pude abrir "Korvanth.exe" \((\d+)\)', run.stdout)
    assert not launch_error or int(said.group(1)) in (2, 3, 123), run.stdout  # not found, its path, invalid name
    missing = [game_missing(said.group(1))] if launch_error else []
    if entered:
        check_transcript(run.stdout, [
            header(server.url), " Verificando 4 archivos...\n", "\n Hay 1 archivo(s) para actualizar (0 KB):\n\n",
            " [1/1] readme.txt\n", Progress(14), COMPLETE, *missing])
        assert (game / "readme.txt").read_bytes() == RELEASE["readme.txt"]
    else:
        check_transcript(run.stdout, [BANNER, NO_FOLDER, *missing])
        assert server.requests == []
        assert snapshot(tmp_path) == before
