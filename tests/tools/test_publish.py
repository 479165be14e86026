"""korvanth-publish, the operator's release tool, run as an operator would."""

import hashlib
import os
import random
import signal
import subprocess
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"


def publish(*args):
    assert TOOL.exists(), "build the native tree first (scripts/build.sh)"
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True)


def make_release(root, files):
    """files: {path: bytes, or a str: the target of a symbolic link}."""
    for path, data in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).symlink_to(data) if isinstance(data, str) else (root / path).write_bytes(data)
    return root


def manifest_of(files):
    return "".join(f"{hashlib.md5(files[p]).hexdigest()}\t{len(files[p])}\t{p}\n" for p in sorted(files))


def tree(folder):
    return {str(p.relative_to(folder)): p.is_symlink() and os.readlink(p) or p.is_file() and p.read_bytes()
            for p in folder.rglob("*")}


RELEASE = {
    "Korvanth.exe": b"MZ game",
    "data/maps/town.map": bytes(i % 251 for i in range(70_000)),
    "data/Empty.cfg": b"",
    "readme.txt": b"hola\r\n",
}


def test_publishes_the_updaters_format_links_under_their_own_names(tmp_path):
    release = make_release(tmp_path / "release", dict(RELEASE, **{
        "KorvanthUpdater.exe": b"MZ updater", "update.url": b"http://test/\n", "shared/bell.wav": b"ding",
        "data/alias.map": "maps/town.map", "sounds": "shared"}))

    result = publish(release, tmp_path / "server")

    assert result.returncode == 0, result.stderr
    expected = dict(RELEASE, **{"data/alias.map": RELEASE["data/maps/town.map"], "shared/bell.wav": b"ding",
                                "sounds/bell.wav": b"ding"})
    assert (tmp_path / "server" / "current" / "manifest.txt").read_text() == manifest_of(expected)
    live = tmp_path / "server" / "current" / "files"
    assert {str(p.relative_to(live)): p.read_bytes() for p in live.rglob("*") if p.is_file()} == expected
    for name in ["KorvanthUpdater.exe", "update.url"]:
        assert f"note: {name} is not published" in result.stderr
    assert publish("--check", tmp_path / "server").returncode == 0


@pytest.mark.parametrize("files, named, reason", [
    ({"data/town.map.kvdl": b"x"}, "data/town.map.kvdl", "temporary download suffix"),
    ({"com0.dat": b"x"}, "com0.dat", "Windows device"),
    ({"100%.wav": b"x"}, "100%.wav", "start of an escape"),
    ({"canción.wav": b"x"}, "canción.wav", "non-ASCII"),
    ({"p/" + "x" * 250: b"x"}, "p/xxx", "longer than 200 bytes"),
    ({"KORVAN~1.EXE": b"x"}, "KORVAN~1.EXE", "short name"),
    ({"data/bad.": b"x"}, "data/bad.", "ending in a dot or a blank"),
    ({"what?.txt": b"x"}, "what?.txt", "Windows forbids"),
    ({"back\\slash": b"x"}, "back\\slash", "Windows forbids"),
    ({"tab\tname": b"x"}, "tab\tname", "control character"),
    ({"Readme.txt": b"x"}, "Readme.txt", "only by case"),
    ({"Data/a.pak": b"x"}, "Data", "only by case"),
    ({"data/loop": ".."}, "data/loop", "a loop"),
    ({"self": "self"}, "self", "loops"),
    ({"dangling.dat": "nowhere.dat"}, "dangling.dat", "link to nothing"),
    (None, "release", "no file to publish"),
])
def test_refuses_what_no_player_could_fetch(tmp_path, files, named, reason):
    server = tmp_path / "server"
    assert publish(make_release(tmp_path / "good", RELEASE), server).returncode == 0
    before = tree(server)
    # None: a release holding nothing but what is never published.
    files = {"KorvanthUpdater.exe": b"MZ", "update.url": b"x"} if files is None else dict(RELEASE, **files)

    result = publish(make_release(tmp_path / "release", files), server)

    assert result.returncode == 1, result.stderr
    assert f"{named}" in result.stderr and reason in result.stderr, result.stderr
    assert tree(server) == before


def test_republish_links_what_did_not_change_and_rolls_back(tmp_path):
    files = {f"data/part{i:03}.pak": f"part {i}".encode() * 100 for i in range(120)}
    files["Korvanth.exe"] = b"MZ"
    release = make_release(tmp_path / "release", files)
    server = tmp_path / "server"
    assert "121 copied, 0 unchanged" in publish(release, server).stdout

    (release / "data" / "part007.pak").write_bytes(b"patched")
    (release / "data" / "part100.pak").unlink()
    result = publish(release, server)

    assert "published 120 files" in result.stdout and "1 copied, 119 unchanged" in result.stdout
    first, second = server / "releases" / "000001" / "files", server / "current" / "files"
    assert (second / "data" / "part007.pak").read_bytes() == b"patched"
    assert not (second / "data" / "part100.pak").exists()
    assert (first / "data/part001.pak").stat().st_ino == (second / "data/part001.pak").stat().st_ino
    assert "nothing changed" in publish(release, server).stdout

    assert publish("--rollback", server).returncode == 0
    assert (server / "current" / "files" / "data" / "part100.pak").exists()
    assert publish("--rollback", server).returncode == 1
    assert publish("--check", server).returncode == 0

    for version in range(4):
        (release / "Korvanth.exe").write_text(f"v{version}")
        assert publish("--keep", "2", release, server).returncode == 0
    assert sorted(p.name for p in (server / "releases").iterdir()) == ["000004", "000005", "000006"]
    assert publish("--rollback", server).returncode == 0 and os.readlink(server / "current") == "releases/000005"


@pytest.mark.parametrize("args, code, message", [
    (["--help"], 0, "usage: korvanth-publish"), ([], 2, "usage: korvanth-publish"),
    (["--bogus", "a", "b"], 2, "unknown option --bogus"), (["--check"], 2, "usage: korvanth-publish"),
    (["only-one"], 2, "usage: korvanth-publish"), (["--keep", "x", "a", "b"], 2, "--keep takes a number"),
    (["--rollback"], 2, "usage: korvanth-publish"),
    (["{tmp}/r", "{tmp}/r/server"], 2, "must not contain each other"),
    (["{tmp}/s/release", "{tmp}/s"], 2, "must not contain each other"),
])
def test_command_line(tmp_path, args, code, message):
    result = publish(*[arg.format(tmp=tmp_path) for arg in args])
    assert result.returncode == code
    assert message in (result.stdout if code == 0 else result.stderr)
    assert list(tmp_path.iterdir()) == []


def test_publishes_killed_at_any_moment_leave_one_whole_release(tmp_path):
    rng = random.Random(7)
    files = {f"data/part{i}.pak": rng.randbytes(10 << 20) for i in range(5)}
    files["Korvanth.exe"] = b"MZ"
    release = make_release(tmp_path / "release", files)
    server = tmp_path / "server"
    started = time.monotonic()
    assert publish(release, server).returncode == 0
    took = time.monotonic() - started
    live = manifest_of(files)

    for round in range(20):
        changed = f"data/part{round % 5}.pak"
        files[changed] = rng.randbytes(10 << 20)
        (release / changed).write_bytes(files[changed])
        proc = subprocess.Popen([str(TOOL), "--quiet", str(release), str(server)], stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, took * 1.2))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        check = publish("--check", server)
        served_manifest = (server / "current" / "manifest.txt").read_text()
        assert check.returncode == 0 and served_manifest in (live, manifest_of(files)), (round, check.stderr)
        live = served_manifest

    # Two at once: one waits for the other, and the release ends up live whole.
    runs = [subprocess.Popen([str(TOOL), "--quiet", str(release), str(server)], stderr=subprocess.DEVNULL)
            for _ in range(2)]
    assert [run.wait() for run in runs] == [0, 0]
    assert (server / "current" / "manifest.txt").read_text() == manifest_of(files)
    assert publish("--check", server).returncode == 0
    assert not [p for p in (server / "releases").iterdir() if p.name.startswith(".")]

