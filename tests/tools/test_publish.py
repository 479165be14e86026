"""korvanth-publish, the operator's release tool, run as an operator would."""

import hashlib
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"


def publish(*args):
    assert TOOL.exists(), "build the native tree first (scripts/build.sh)"
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True)


def make_release(root, files):
    for path, data in files.items():
        target = root / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return root


RELEASE = {
    "Korvanth.exe": b"MZ game",
    "data/maps/town.map": bytes(i % 251 for i in range(70_000)),
    "data/Empty.cfg": b"",
    "readme.txt": b"hola\r\n",
}


def test_publishes_the_updaters_format(tmp_path):
    release = make_release(tmp_path / "release", dict(RELEASE, **{
        "KorvanthUpdater.exe": b"MZ updater", "update.url": b"http://test/\n"}))

    result = publish(release, tmp_path / "server")

    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    expected = "".join(f"{hashlib.md5(RELEASE[p]).hexdigest()}\t{len(RELEASE[p])}\t{p}\n"
                       for p in sorted(RELEASE))
    assert (tmp_path / "server" / "manifest.txt").read_bytes() == expected.encode()
    served = {str(p.relative_to(tmp_path / "server" / "files")): p.read_bytes()
              for p in (tmp_path / "server" / "files").rglob("*") if p.is_file()}
    assert served == RELEASE
    assert publish("--check", tmp_path / "server").returncode == 0


def test_include_updater_on_request(tmp_path):
    release = make_release(tmp_path / "release", dict(RELEASE, **{"KorvanthUpdater.exe": b"MZ updater"}))
    assert publish("--include-updater", release, tmp_path / "server").returncode == 0
    assert "\tKorvanthUpdater.exe\n" in (tmp_path / "server" / "manifest.txt").read_text()


def test_warns_without_the_game(tmp_path):
    release = make_release(tmp_path / "release", {"readme.txt": b"x"})
    result = publish(release, tmp_path / "server")
    assert result.returncode == 0
    assert "warning: the release has no Korvanth.exe" in result.stderr


@pytest.mark.parametrize("names, named", [
    (["data/town.map.kvdl"], "data/town.map.kvdl"),
    (["CON"], "CON"),
    (["sub/nul.txt"], "sub/nul.txt"),
    (["com1.dat"], "com1.dat"),
    (["data/bad."], "data/bad."),
    (["data/bad "], "data/bad "),
    (["what?.txt"], "what?.txt"),
    (["a<b"], "a<b"),
    (["pipe|name"], "pipe|name"),
    (['quote".txt'], 'quote".txt'),
    (["back\\slash"], "back\\slash"),
    (["tab\tname"], "tab\tname"),
    (["line\nend"], "line\nend"),
    (["Readme.txt", "readme.txt"], "eadme.txt"),
    (["Data/a.pak", "data/b.pak"], "ata"),
])
def test_refuses_what_breaks_a_player(tmp_path, names, named):
    release = make_release(tmp_path / "release", dict(RELEASE, **{n: b"x" for n in names}))

    result = publish(release, tmp_path / "server")

    assert result.returncode == 1
    assert named in result.stderr
    assert not (tmp_path / "server" / "manifest.txt").exists()


def test_republish_copies_only_what_changed(tmp_path):
    files = {f"data/part{i:03}.pak": f"part {i}".encode() * 100 for i in range(120)}
    files["Korvanth.exe"] = b"MZ"
    release = make_release(tmp_path / "release", files)
    server = tmp_path / "server"
    assert "121 copied, 0 unchanged, 0 removed" in publish(release, server).stdout

    (release / "data" / "part007.pak").write_bytes(b"patched")
    (release / "data" / "part100.pak").unlink()
    result = publish(release, server)

    assert "published 120 files" in result.stdout
    assert "1 copied, 119 unchanged, 1 removed" in result.stdout
    assert (server / "files" / "data" / "part007.pak").read_bytes() == b"patched"
    assert not (server / "files" / "data" / "part100.pak").exists()
    assert "part100" not in (server / "manifest.txt").read_text()
    assert not list(server.rglob("*.publish-tmp"))
    assert publish("--check", server).returncode == 0


@pytest.mark.parametrize("damage, message", [
    (lambda s: (s / "files" / "readme.txt").write_bytes(b"HOLA\r\n"), "readme.txt: digest"),
    (lambda s: (s / "files" / "readme.txt").write_bytes(b"hola"), "readme.txt: 4 bytes, manifest says 6"),
    (lambda s: (s / "files" / "readme.txt").unlink(), "readme.txt: missing from files/"),
    (lambda s: (s / "manifest.txt").write_text((s / "manifest.txt").read_text() + "junk line\n"),
     "line 5: the updater would skip it"),
])
def test_check_finds_a_damaged_server_folder(tmp_path, damage, message):
    release = make_release(tmp_path / "release", RELEASE)
    assert publish(release, tmp_path / "server").returncode == 0
    damage(tmp_path / "server")

    result = publish("--check", tmp_path / "server")

    assert result.returncode == 1
    assert message in result.stderr


@pytest.mark.parametrize("args, code", [
    (["--help"], 0), ([], 2), (["--bogus", "a", "b"], 2), (["--check"], 2), (["only-one"], 2),
])
def test_command_line(args, code):
    result = publish(*args)
    assert result.returncode == code
    stream = result.stdout if code == 0 else result.stderr
    assert "usage: korvanth-publish" in stream


def test_refuses_a_server_folder_inside_the_release(tmp_path):
    release = make_release(tmp_path / "release", RELEASE)
    result = publish(release, release / "server")
    assert result.returncode == 2
    assert not (release / "server" / "manifest.txt").exists()
