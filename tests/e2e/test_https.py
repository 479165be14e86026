"""The built-in server is reached over HTTPS: a certificate the system trusts
gives a normal update, any other ends in "no server" and changes nothing."""

import shutil

from harness import (COMPLETE, NO_SERVER, Progress, check_transcript, header,
                     make_game, run_updater, snapshot)

RELEASE = {"data/a.pak": b"A" * 70_000, "readme.txt": b"hola\r\n"}


def test_trusted_certificate_updates(tmp_path, build, https_server, release_builds):
    https_server.publish(RELEASE)
    game = make_game(tmp_path, build, update_url=https_server.url)
    if build == "i686":
        # What players get: the release build, signed.
        shutil.copy(release_builds["signed"] / "KorvanthUpdater.exe", game)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [
        header(https_server.url), " Verificando 2 archivos...\n",
        f"\n Hay 2 archivo(s) para actualizar ({70_000 >> 10} KB):\n\n",
        " [1/2] data/a.pak\n", Progress(70_000), " [2/2] readme.txt\n", Progress(6), COMPLETE])
    assert (game / "data" / "a.pak").read_bytes() == RELEASE["data/a.pak"]


def test_untrusted_certificate_is_no_server(tmp_path, build, untrusted_server):
    untrusted_server.publish(RELEASE)
    make_game(tmp_path, build, {"readme.txt": b"old"}, update_url=untrusted_server.url)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(untrusted_server.url), NO_SERVER])
    assert untrusted_server.requests == []
    assert snapshot(tmp_path) == before
