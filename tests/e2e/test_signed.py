"""An updater built with a release key, for both builds under Wine: it takes
only a release signed with that key, whichever server serves it, and holds
every file to its signed size and SHA-256. A release it refuses ends as a
manifest it cannot use: nothing else is requested, nothing changes, the game
starts. An updater built without keys reads a signed release as any other."""

import subprocess

import pytest

from harness import (BAD_MANIFEST, BUILDS, COMPLETE, HASH_FAILED, SIGNED_UPDATER, TOOL, UP_TO_DATE, Progress, Reply,
                     check_transcript, header, make_game, publish_files, release_key, run_updater, snapshot,
                     with_failures)

TOWN = bytes(i % 251 for i in range(20_580))
OLD = {"data/town.map": TOWN[::-1], "readme.txt": b"Korvanth 1.1\r\n"}
NEW = {"data/town.map": TOWN, "readme.txt": b"Korvanth 1.2\r\n"}


def flipped(at):
    """The manifest with the byte at offset at (from the end when negative) changed."""
    return lambda text: text[:at % len(text)] + bytes([text[at % len(text)] ^ 1]) + text[at % len(text) + 1:]


def swapped_game(text):
    """An attacker's Korvanth.exe, its line rewritten to its own MD5."""
    lines = text.split(b"\n")
    return b"\n".join(b"0cc175b9c0f1b6a831c399e269772661\t1" + line[line.index(b"\tKorvanth"):]
                      if b"\tKorvanth.exe" in line and not line.startswith(b"#") else line for line in lines)


# Each row: which updater, how the release is published (signed with the
# tests' key unless said), what is done to what is served, and what the
# player gets.
@pytest.mark.parametrize("name, updater, published, served, outcome", [
    ("signed release, client behind", SIGNED_UPDATER, "signed", None, "updated"),
    ("signed release, client current", SIGNED_UPDATER, "signed", None, "current"),
    ("updater without keys, signed release", "KorvanthUpdater.exe", "signed", None, "updated"),
    ("a release rolled back to", SIGNED_UPDATER, "rolled back", None, "updated"),
    ("Korvanth.exe swapped, its line rewritten", SIGNED_UPDATER, "signed", swapped_game, "refused"),
    ("signature removed", SIGNED_UPDATER, "signed", lambda text: text[:text.rindex(b"#signature")], "refused"),
    ("a line appended", SIGNED_UPDATER, "signed", lambda text: text + b"# note\n", "refused"),
    ("first byte flipped", SIGNED_UPDATER, "signed", flipped(0), "refused"),
    ("a byte of a SHA-256 flipped", SIGNED_UPDATER, "signed", lambda text: flipped(text.index(b"#sha256") + 9)(text),
     "refused"),
    ("a byte of the signature flipped", SIGNED_UPDATER, "signed", flipped(-20), "refused"),
    ("last line feed removed", SIGNED_UPDATER, "signed", lambda text: text[:-1], "refused"),
    ("signed with another key", SIGNED_UPDATER, "foreign", None, "refused"),
    ("update.url to a server of unsigned releases", SIGNED_UPDATER, "unsigned", None, "refused"),
    ("a body that never ends", SIGNED_UPDATER, "signed", "endless", "failed"),
])
def test_only_releases_signed_with_its_key(tmp_path, build, server, foreign_key, name, updater, published, served,
                                           outcome):
    game_exe = (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes()
    release, folder = tmp_path / "release", tmp_path / "server"
    sign = [] if published == "unsigned" else ["--sign", foreign_key if published == "foreign" else release_key(build)]
    for files in [NEW, {"readme.txt": b"Korvanth 1.3\r\n"}][:1 + (published == "rolled back")]:
        publish_files(release, dict(files, **{"Korvanth.exe": game_exe}), folder, *sign)
    if published == "rolled back":
        subprocess.run([str(TOOL), "--quiet", "--rollback", str(folder)], check=True)
    server.serve(folder / "current")
    if served == "endless":
        server.routes["files/data/town.map"] = Reply(body=TOWN, headers={"Content-Length": None}, endless=True)
    elif served:
        server.routes["manifest.txt"].body = served(server.routes["manifest.txt"].body)
    game = make_game(tmp_path, build, NEW if outcome == "current" else OLD, update_url=server.url, updater=updater)
    before = snapshot(game)

    run = run_updater(tmp_path, build, expect_prompt=outcome == "failed")

    town = [Progress(len(TOWN), partial=True), HASH_FAILED] if outcome == "failed" else [Progress(len(TOWN))]
    check_transcript(run.stdout, [header(server.url), *{
        "refused": [BAD_MANIFEST],
        "current": [" Verificando 3 archivos...\n", UP_TO_DATE],
    }.get(outcome, [" Verificando 3 archivos...\n", "\n Hay 2 archivo(s) para actualizar (20 KB):\n\n",
                    " [1/2] data/town.map\n", *town, " [2/2] readme.txt\n", Progress(14),
                    with_failures(1) if outcome == "failed" else COMPLETE])])
    after = snapshot(game)
    if outcome in ("refused", "current"):
        assert server.requested() == ["/manifest.txt"] and after == before
    else:
        assert {p: after[p] for p in NEW} == (dict(NEW, **{"data/town.map": OLD["data/town.map"]})
                                              if outcome == "failed" else NEW)
