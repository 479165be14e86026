"""The five endings of an update run and a run with failed files, for both
built updaters under Wine, started from another folder: whole transcript,
exit code 0, the game started in the updater's folder, the files on disk, and
nothing touched outside the game folder."""

import pytest

from harness import (BAD_MANIFEST, BANNER, COMPLETE, DEFAULT_BASE_URL, HASH_FAILED, NO_FOLDER, NO_SERVER,
                     UP_TO_DATE, Progress, Reply, check_transcript,
                     game_missing, header, make_game, md5, run_updater, snapshot, with_failures)

RELEASE = {
    "data/maps/town.map": bytes(i % 251 for i in range(200_000)),
    "data/empty.cfg": b"",
    "readme.txt": b"Korvanth 1.1\r\n",
    "bin/engine.dll": b"engine v2" * 300,
}


def test_no_server(tmp_path, build, closed_port):
    url = f"http://127.0.0.1:{closed_port}/"
    make_game(tmp_path, build, {"readme.txt": b"old"}, update_url=url + "\r\n")
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(url), NO_SERVER])
    assert snapshot(tmp_path) == before


def test_default_server_used_without_update_url(tmp_path, build):
    # The built-in URL lies under .example, which never resolves.
    make_game(tmp_path, build)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(None), NO_SERVER])


def test_blank_update_url_shows_the_built_in_server(tmp_path, build):
    make_game(tmp_path, build, update_url="  \r\n")

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(DEFAULT_BASE_URL), NO_SERVER])


def test_bad_manifest(tmp_path, build, server):
    server.routes["manifest.txt"] = Reply(body=(
        "# only comments, junk and refused paths\n\n"
        "not a manifest line\n"
        f"{md5(b'x')}\t1\t../outside.txt\n"
        f"{md5(b'x')}\t1\tC:/outside.txt\n").encode())
    make_game(tmp_path, build, update_url=server.url)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), BAD_MANIFEST])
    assert server.requests == [("/manifest.txt", "KorvanthUpdater/1.0")]
    assert snapshot(tmp_path) == before


def test_up_to_date(tmp_path, build, server):
    server.publish(RELEASE, extra_lines=["# release 1.1", "", "malformed"])
    make_game(tmp_path, build, RELEASE, update_url=server.url)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), " Verificando 4 archivos...\n", UP_TO_DATE])
    assert server.requested() == ["/manifest.txt"]
    assert snapshot(tmp_path) == before


def test_complete_update_then_up_to_date(tmp_path, build, server):
    server.base_path = "/patch/"
    # Paths that would reach outside the game folder are dropped like junk.
    unsafe = ["../escape.txt", "..\\escape.txt", "data/../../escape.txt", "/escape.txt",
              "C:\\escape.txt", "readme.txt:stream", "NUL"]
    server.publish(RELEASE, extra_lines=[f"{md5(b'x')}\t1\t{path}" for path in unsafe])
    stale = {"readme.txt": b"Korvanth 1.0\r\n", "bin/engine.dll": RELEASE["bin/engine.dll"],
             "data/empty.cfg": b"leftover"}
    # No final '/': the same server folder must still be reached.
    game = make_game(tmp_path, build, stale, update_url=server.url.rstrip("/"))

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
    assert {agent for _, agent in server.requests} == {"KorvanthUpdater/1.0"}
    files = snapshot(game)
    for path, data in RELEASE.items():
        assert files[path] == data, path
    assert not [p for p in files if p.endswith(".kvdl")]

    again = run_updater(tmp_path, build)
    check_transcript(again.stdout, [header(server.url.rstrip("/")), " Verificando 4 archivos...\n",
                                    UP_TO_DATE])


@pytest.mark.parametrize("cause", ["missing on the server", "corrupted body"])
def test_one_failed_file_waits_for_a_key(tmp_path, build, server, cause):
    server.publish(RELEASE)
    if cause == "missing on the server":
        del server.routes["files/readme.txt"]
        failure = []
    else:
        server.routes["files/readme.txt"] = Reply(body=b"Korvanth 6.6\r\n")
        failure = [Progress(14), HASH_FAILED]
    old = {"readme.txt": b"Korvanth 1.0\r\n"}
    game = make_game(tmp_path, build, old, update_url=server.url)

    run = run_updater(tmp_path, build, expect_prompt=True)

    check_transcript(run.stdout, [
        header(server.url), " Verificando 4 archivos...\n",
        f"\n Hay 4 archivo(s) para actualizar ({(200_000 >> 10) + (2700 >> 10)} KB):\n\n",
        " [1/4] data/maps/town.map\n", Progress(200_000),
        " [2/4] data/empty.cfg\n",
        " [3/4] readme.txt\n", *failure,
        " [4/4] bin/engine.dll\n", Progress(2700),
        with_failures(1)])
    files = snapshot(game)
    assert files["readme.txt"] == old["readme.txt"]
    assert files["bin/engine.dll"] == RELEASE["bin/engine.dll"]
    assert not [p for p in files if p.endswith(".kvdl")]


def test_game_missing_reports_error_2_and_waits(tmp_path, build, server):
    server.publish(RELEASE)
    make_game(tmp_path, build, RELEASE, with_game=False, update_url=server.url)

    run = run_updater(tmp_path, build, expect_prompt=True)

    check_transcript(run.stdout, [header(server.url), " Verificando 4 archivos...\n", UP_TO_DATE,
                                  game_missing(2)])


# DLLs that game folders really hold (mod loaders' proxies) or that the
# system loads on WinHTTP's and CryptoAPI's behalf.
JUNK_DLLS = ["winhttp.dll", "webio.dll", "version.dll", "crypt32.dll", "rsaenh.dll"]


@pytest.mark.parametrize("folder, junk_in", [
    ("Игра Korvanth", "the game folder"),
    ("コルヴァンス/游戏", "the start folder"),
])
def test_any_folder_name_and_other_programs_dlls(tmp_path, build, server, folder, junk_in):
    server.publish(RELEASE)
    game = make_game(tmp_path, build, dict(RELEASE, **{"readme.txt": b"Korvanth 1.0\r\n"}),
                     update_url=server.url, folder=folder)
    junk = game if junk_in == "the game folder" else tmp_path / "elsewhere"
    for name in JUNK_DLLS:
        (junk / name).write_bytes(b"not a DLL " * 100)

    run = run_updater(tmp_path, build, folder=folder)

    check_transcript(run.stdout, [
        header(server.url), " Verificando 4 archivos...\n",
        "\n Hay 1 archivo(s) para actualizar (0 KB):\n\n", " [1/1] readme.txt\n", Progress(14), COMPLETE])
    assert (game / "readme.txt").read_bytes() == RELEASE["readme.txt"]
    assert all((junk / name).read_bytes() == b"not a DLL " * 100 for name in JUNK_DLLS)


def test_folder_too_deep_to_enter_is_left_alone(tmp_path, build, server):
    # Windows refuses a current folder of more than 258 characters.
    folder = "/".join(["d" * 90] * 3)
    server.publish(RELEASE)
    make_game(tmp_path, build, {"readme.txt": b"old"}, update_url=server.url, folder=folder)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build, expect_prompt=True, folder=folder, game_starts=False)

    # Wine will not start a program from such a folder either.
    check_transcript(run.stdout, [BANNER, NO_FOLDER, game_missing({"x86_64": 123, "i686": 2}[build])])
    assert server.requests == []
    assert snapshot(tmp_path) == before
