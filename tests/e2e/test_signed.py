"""An updater built with a release key, for both builds under Wine: it takes
only a release signed with that key, whichever server serves it, and holds
every file to its signed size and SHA-256. A release it refuses ends as a
manifest it cannot use: nothing else is requested, nothing changes, the game
starts. Over time it takes no release older than the one its folder holds,
none whose signature ran out, deletes what the studio dropped, and replaces
itself with the updater a release carries. An updater built without keys
reads a signed release as any other."""

import os
import signal
import subprocess
import time

import pytest

from harness import (BAD_MANIFEST, BUILDS, COMPLETE, HASH_FAILED, SIGNED_UPDATER, TOOL, UP_TO_DATE, Progress, Reply,
                     check_transcript, header, make_game, md5, publish_files, release_key, run_updater, snapshot,
                     with_failures)

TOWN = bytes(i % 251 for i in range(20_580))
OLD = {"data/town.map": TOWN[::-1], "readme.txt": b"Korvanth 1.1\r\n"}
NEW = {"data/town.map": TOWN, "readme.txt": b"Korvanth 1.2\r\n"}
RECORD = "korvanth.serial"
OLDER = " [!] El servidor ofrece una version anterior a la instalada.\n     Inicio el juego igual...\n\n"
EXPIRED = " [!] La version del servidor esta vencida (revisa la fecha de tu equipo).\n     Inicio el juego igual...\n\n"


def flipped(at):
    """The manifest with the byte at offset at (from the end when negative) changed."""
    return lambda text: text[:at % len(text)] + bytes([text[at % len(text)] ^ 1]) + text[at % len(text) + 1:]


def swapped_game(text):
    """An attacker's Korvanth.exe, its line rewritten to its own MD5."""
    lines = text.split(b"\n")
    return b"\n".join(b"0cc175b9c0f1b6a831c399e269772661\t1" + line[line.index(b"\tKorvanth"):]
                      if b"\tKorvanth.exe" in line and not line.startswith(b"#") else line for line in lines)


def release_files(folder, release="current"):
    """{path: bytes} of a release in a server folder."""
    files = folder / (release if release == "current" else f"releases/{release:06d}") / "files"
    return {str(p.relative_to(files)): p.read_bytes() for p in files.rglob("*") if p.is_file()}


def updated(pending, keyed=True, failed=None):
    """The transcript of a run that brings pending ({path: bytes}) in, in the
    order the updater takes them (the release record first when keyed), but
    for failed, whose body breaks off."""
    order = sorted(pending, key=lambda p: (not keyed or p != RECORD, p))
    lines = [f"\n Hay {len(pending)} archivo(s) para actualizar ({sum(len(d) >> 10 for d in pending.values())} KB):\n\n"]
    for i, path in enumerate(order, 1):
        size = len(pending[path])
        lines.append(f" [{i}/{len(pending)}] {path}\n")
        lines += [Progress(size, partial=True), HASH_FAILED] if path == failed else [Progress(size)] * (size > 0)
    return lines + [with_failures(1) if failed else COMPLETE]


# Each row: which updater, how the release is published (signed with the
# tests' key unless said), what is done to what is served, and what the
# player gets.
@pytest.mark.parametrize("name, updater, published, served, outcome", [
    ("signed release, client behind", SIGNED_UPDATER, "signed", None, "updated"),
    ("signed release, client current", SIGNED_UPDATER, "signed", None, "current"),
    ("updater without keys, signed release", "KorvanthUpdater.exe", "signed", None, "updated"),
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
    publish_files(release, dict(NEW, **{"Korvanth.exe": game_exe}), folder, *sign)
    server.serve(folder / "current")
    if served == "endless":
        server.routes["files/data/town.map"] = Reply(body=TOWN, headers={"Content-Length": None}, endless=True)
    elif served:
        server.routes["manifest.txt"].body = served(server.routes["manifest.txt"].body)
    live = release_files(folder)
    game = make_game(tmp_path, build, live if outcome == "current" else OLD, update_url=server.url, updater=updater)
    before = snapshot(game)

    run = run_updater(tmp_path, build, expect_prompt=outcome == "failed")

    pending = {p: live[p] for p in ["data/town.map", RECORD, "readme.txt"] if p in live}
    check_transcript(run.stdout, [header(server.url), *{
        "refused": [BAD_MANIFEST],
        "current": [" Verificando 4 archivos...\n", UP_TO_DATE],
    }.get(outcome, [" Verificando 4 archivos...\n",
                    *updated(pending, updater == SIGNED_UPDATER, "data/town.map" if outcome == "failed" else None)])])
    after = snapshot(game)
    if outcome in ("refused", "current"):
        assert server.requested() == ["/manifest.txt"] and after == before
    else:
        assert {p: after[p] for p in pending} == (dict(pending, **{"data/town.map": OLD["data/town.map"]})
                                                  if outcome == "failed" else pending)


PUBLISHED = [  # the releases a row's server folder gets, in turn (and Korvanth.exe)
    {"readme.txt": b"uno\r\n", "old.dll": b"old", "mods/extra.dll": b"extra"},
    {"readme.txt": b"dos\r\n"},
    {"readme.txt": b"tres\r\n"},
]


# Each row: how many of PUBLISHED go live, what the studio does then, the
# game folder (from the server folder), the release served, and the ending,
# with the files that must be gone afterwards.
@pytest.mark.parametrize("name, count, then, game, served, ending, gone", [
    ("an older release served again", 2, [], lambda f: release_files(f, 2), 1, OLDER, ()),
    ("a folder without its record takes any release", 2, [],
     lambda f: {p: d for p, d in release_files(f, 2).items() if p != RECORD}, 1, None, ()),
    ("the studio's rollback", 2, ["--rollback"], lambda f: release_files(f, 2), "current", None, ()),
    ("a signature that ran out", 1, ["expire"], lambda f: release_files(f, 1), "current", EXPIRED, ()),
    ("signed again once it ran out", 1, ["expire", "--resign"], lambda f: release_files(f, 1), "current", UP_TO_DATE,
     ()),
    ("dropped files leave, but one the player changed", 2, [],
     lambda f: dict(release_files(f, 1), **{"mods/extra.dll": b"my own"}), "current", None, ("old.dll",)),
    ("a player who skipped a release", 3, [], lambda f: release_files(f, 1), "current", None,
     ("old.dll", "mods/extra.dll")),
])
def test_releases_over_time(tmp_path, build, server, name, count, then, game, served, ending, gone):
    game_exe = (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes()
    release, folder = tmp_path / "release", tmp_path / "server"
    sign = ["--sign", release_key(build)]
    for files in PUBLISHED[:count]:
        publish_files(release, dict(files, **{"Korvanth.exe": game_exe}), folder, *sign,
                      *(["--expires-in", "3s"] if "expire" in then else []), exact=True)
    for step in then:
        time.sleep(4) if step == "expire" else subprocess.run([str(TOOL), "--quiet", step, *sign, str(folder)],
                                                              check=True)
    served_files = release_files(folder, served)
    server.serve(folder / ("current" if served == "current" else f"releases/{served:06d}"))
    held = game(folder)
    make_game(tmp_path, build, held, update_url=server.url, updater=SIGNED_UPDATER)
    before = snapshot(tmp_path / "game")

    run = run_updater(tmp_path, build)

    pending = {p: d for p, d in served_files.items() if held.get(p) != d}
    check_transcript(run.stdout, [header(server.url), *([ending] if ending in (OLDER, EXPIRED) else [
        f" Verificando {len(served_files)} archivos...\n", *([ending] if ending else updated(pending))])])
    after = snapshot(tmp_path / "game")
    if ending in (OLDER, EXPIRED):
        assert after == before and server.requested() == ["/manifest.txt"]
    else:
        assert {p: after.get(p) for p in served_files} == served_files
        assert {p for p in held if p not in after} == set(gone)


def test_the_updater_replaces_itself_as_its_keys_rotate(tmp_path, build, server):
    tests = BUILDS[build][1] / "tests"
    game_exe = (tests / "StandInGame.exe").read_bytes()
    release, folder = tmp_path / "release", tmp_path / "server"
    studio, next_key = release_key(build), release_key(build, name="next")
    game = make_game(tmp_path, build, update_url=server.url, updater=SIGNED_UPDATER)
    # An updater taking both keys, signed with the first; then the next key
    # alone signs, which it takes; then it brings one that takes only the next.
    for readme, options, updater in [(b"uno", ["--sign", studio, "--updater", tests / "RotatingUpdater.exe"],
                                      "RotatingUpdater.exe"),
                                     (b"dos", ["--sign", next_key, "--new-key"], "RotatingUpdater.exe"),
                                     (b"tres", ["--sign", next_key, "--updater", tests / "NextUpdater.exe"],
                                      "NextUpdater.exe")]:
        publish_files(release, {"Korvanth.exe": game_exe, "readme.txt": readme}, folder, *options, exact=True)
        server.serve(folder / "current")
        run = run_updater(tmp_path, build)
        assert run.stdout.endswith(COMPLETE.replace("\n", "\r\n")), run.stdout
        assert (game / "KorvanthUpdater.exe").read_bytes() == (tests / updater).read_bytes()
        assert {p: (game / p).read_bytes() for p in release_files(folder)} == release_files(folder)
        # The updater it replaced is moved aside, and gone at the next start.
        assert (game / "KorvanthUpdater.exe.kvold").exists() == (readme != b"dos")
    # The studio key is revoked: a release it signed, served again, is refused.
    server.serve(folder / "releases" / "000001")
    check_transcript(run_updater(tmp_path, build).stdout, [header(server.url), BAD_MANIFEST])


@pytest.mark.parametrize("killed_during", ["files/KorvanthUpdater.exe", "files/z.pak"])
def test_killed_while_it_replaces_itself_the_folder_keeps_an_updater(tmp_path, build, server, killed_during):
    tests = BUILDS[build][1] / "tests"
    files = {"Korvanth.exe": (tests / "StandInGame.exe").read_bytes(), "z.pak": bytes(300_000)}
    publish_files(tmp_path / "release", files, tmp_path / "server", "--sign", release_key(build), "--updater",
                  tests / "RotatingUpdater.exe")
    server.serve(tmp_path / "server" / "current")
    server.routes[killed_during].pace = (16384, 0.5)
    game = make_game(tmp_path, build, update_url=server.url, updater=SIGNED_UPDATER)
    # Killed while its own new file arrives, or once it replaced itself (the
    # old one aside, the new one in place).
    step = ["KorvanthUpdater.exe.kvdl"] if "Updater" in killed_during else ["KorvanthUpdater.exe.kvold",
                                                                          "KorvanthUpdater.exe"]
    proc = subprocess.Popen([str(BUILDS[build][0]), str(game / "KorvanthUpdater.exe")], cwd=game,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 60
    while not all((game / name).exists() for name in step) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()
    assert all((game / name).exists() for name in step)
    server.routes[killed_during].pace = None

    run = run_updater(tmp_path, build)

    assert run.stdout.endswith(COMPLETE.replace("\n", "\r\n")), run.stdout
    assert (game / "KorvanthUpdater.exe").read_bytes() == (tests / "RotatingUpdater.exe").read_bytes()
