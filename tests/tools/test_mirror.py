"""korvanth-mirror, run as an operator would: to a folder, over a stand-in
for ssh, and to a local S3 server through rclone, with players reading the
mirror while it works."""

import fcntl
import functools
import os
import random
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
MIRROR = REPO / "tools" / "mirror" / "korvanth-mirror"
S3RVER = REPO / "build" / "s3rver" / "node_modules" / ".bin" / "s3rver"
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from harness import (BUILDS, COMPLETE, TOOL, free_port, make_game, manifest_of, publish_files,  # noqa: E402
                     run_updater, tree, wait_for_port)
from test_publish import keys  # noqa: E402,F401

# korvanth-publish on PATH, as an installed mirror finds it.
ENV = dict(os.environ, PATH=f"{TOOL.parent}:{os.environ['PATH']}")
RELEASE = {"Korvanth.exe": b"MZ game", "data/maps/town.map": bytes(i % 251 for i in range(70_000)),
           "data/a b [1].pak": b"pak" * 100, "readme.txt": b"hola\r\n"}


def run(*args, env=ENV, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env, **kwargs)


publish = functools.partial(publish_files, exact=True)


def served(dest):
    """{path: bytes} below DEST/current/files, and the manifest there."""
    files = dest / "current" / "files"
    return ({str(p.relative_to(files)): p.read_bytes() for p in files.rglob("*") if p.is_file()},
            (dest / "current" / "manifest.txt").read_text())


# ssh as the mirror calls it (HOST COMMAND), run here.
@pytest.mark.parametrize("how", ["folder", "relative", "ssh"])
def test_each_run_switches_the_mirror_to_the_new_release_whole(tmp_path, how, keys):
    server, dest, release = tmp_path / "server", tmp_path / "mirror dir", tmp_path / "release"
    rsh = tmp_path / "rsh"
    rsh.write_text('#!/bin/sh\nshift\nexec sh -c "$*"\n')
    rsh.chmod(0o755)
    env = dict(ENV, KORVANTH_MIRROR_RSH=str(rsh))
    target = {"folder": dest, "relative": dest.name, "ssh": f"localhost:{dest}"}[how]
    news = dict(RELEASE, **{"news.txt": b"nuevo"})
    del news["readme.txt"]
    same_size = dict(news, **{"data/maps/town.map": bytes(i % 253 for i in range(70_000))})
    # A list: what the origin runs, here a rollback to news, which the mirror switches to as it kept it; then a
    # signed release, mirrored only on its key's word and served with its serial and signature as they are, and
    # signed again (another expiry, whatever the second), its manifest alone replaced in the mirror's live release.
    signed = ["--sign", keys / "studio.pem"]
    steps = [(RELEASE, None, []), (news, ["manifest.txt", "files/news.txt", "files/readme.txt"], []),
             (same_size, ["manifest.txt", "files/data/maps/town.map"], []),
             (["--rollback"], ["manifest.txt", "files/data/maps/town.map"], []),
             (dict(news, **{"readme.txt": b"otra vez"}), ["manifest.txt", "files/korvanth.serial",
                                                         "files/readme.txt"], signed),
             (["--resign", "--expires-in", "7d"], ["manifest.txt"], signed)]
    for files, listed, signing in steps:
        if isinstance(files, list):  # with the state the publishes left (tests/conftest.py), which ENV predates
            assert run(TOOL, *files, *signing, server, env=os.environ).returncode == 0
        else:
            publish(release, files, server, *signing)
        if files is same_size:
            # Made within the same second as the mirror's copies: same size,
            # same modification time, other bytes (the manifest's too).
            for path in ("manifest.txt", "files/data/maps/town.map"):
                stamp = (dest / "current" / path).stat()
                os.utime(server / "current" / path, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
        before = dest.exists() and os.readlink(dest / "current")
        if before:  # a studio's pages, beside the mirror and among its releases, stay; a 0644 lock becomes 0600
            for page in (dest / "index.html", dest / "releases" / "notes"):
                page.write_text("studio")
            (dest / ".publish.lock").chmod(0o644)

        keyed = signing and ["--release-key", keys / "studio.pub"]
        kept = dest / os.readlink(server / "current")
        inodes = {p.relative_to(kept): p.stat().st_ino for p in (kept / "files").rglob("*")} if kept.exists() else {}

        # Under a private umask too, the web server must be able to read the mirror.
        result = run(MIRROR, *keyed, "--keep", "1", "--purge-list", tmp_path / "purge.txt", server, target,
                     env=env, umask=0o077, cwd=tmp_path)

        assert result.returncode == 0, result.stderr
        assert served(dest) == served(server) and os.readlink(dest / "current") == os.readlink(server / "current")
        assert run(TOOL, "--check", *keyed, dest).returncode == 0
        copied_none = " 0 copied" in result.stdout or "nothing copied" in result.stdout
        assert (copied_none, {p: (dest / "current" / p).stat().st_ino for p in inodes}) == (bool(inodes), inodes), \
            result.stdout
        if listed:
            assert (tmp_path / "purge.txt").read_text().splitlines() == listed
            old = dest / before / "files" / "Korvanth.exe"
            assert old.stat().st_ino == (dest / "current" / "files" / "Korvanth.exe").stat().st_ino
    assert sorted(p.name for p in (dest / "releases").iterdir()) == ["000002", "000004", "notes"]
    assert (dest / "index.html").read_text() == (dest / "releases" / "notes").read_text() == "studio"
    assert (dest / ".publish.lock").stat().st_mode & 0o777 == 0o600


def test_refusals_and_dry_runs_touch_nothing(tmp_path, keys):
    server, dest, lock = tmp_path / "server", tmp_path / "dest", tmp_path / "dest" / ".publish.lock"
    signed, held = tmp_path / "signed", []
    publish(tmp_path / "release", RELEASE, server)
    publish(tmp_path / "release", RELEASE, signed, "--sign", keys / "studio.pem")
    signer = (signed / "current" / "manifest.txt").read_text().split("\t")[-2]
    # A stand-in rclone that records its calls: none may come.
    (tmp_path / "rclone").write_text(f'#!/bin/sh\necho "$@" >>"{tmp_path}/calls"\n')
    (tmp_path / "rclone").chmod(0o755)

    def put(path, make=None):
        path.parent.mkdir(parents=True, exist_ok=True)
        make(path) if make else path.write_bytes(b"x")

    def theirs(make, hold):
        """make(DEST), then its lock given to uid 1 and, with hold, held as a run of theirs holds it."""
        def plant(p):
            make(p)
            os.chown(p / ".publish.lock", 1, 1)
            if hold:
                held.append(open(p / ".publish.lock"))
                fcntl.flock(held[-1], fcntl.LOCK_EX)
        return plant

    def further_on(p):
        """A mirror of another origin, at its second release."""
        for x in (b"1", b"2"):
            publish(tmp_path / "other", {"x": x}, tmp_path / "elsewhere")
        run(MIRROR, tmp_path / "elsewhere", p)

    def moved_back(p):
        """A mirror of signed's next release, a higher serial; then signed's current moved back by hand."""
        publish(tmp_path / "release", dict(RELEASE, **{"new.txt": b"1"}), signed, "--sign", keys / "studio.pem")
        run(MIRROR, signed, p)
        (signed / "current").unlink()
        (signed / "current").symlink_to("releases/000001")
    # What DEST holds before the run, and what the run says.
    planted = {"a studio's page": (dest / "index.html", None, "is not a server folder"),
               "another game": (dest / "othergame/manifest.txt", None, "is not a server folder"),
               "a folder named current": (dest / "current/manifest.txt", None, "is not a server folder"),
               "a file": (dest, None, "is not a server folder"),
               "a publish folder": (tmp_path / "release", lambda p: publish(p, RELEASE, dest), "publishes into"),
               "a publish folder, its lock removed": (tmp_path / "release", lambda p: (
                   publish(p, RELEASE, dest), lock.unlink()), "publishes into"),
               "a link as lock": (lock, lambda p: p.symlink_to(tmp_path / "release/readme.txt"), "symbolic link"),
               "a dangling link": (lock, lambda p: p.symlink_to(tmp_path / "nowhere"), "is a symbolic link"),
               "a FIFO as lock": (lock, os.mkfifo, "is not a regular file"),
               "another's lock": (lock, lambda p: [p.write_text(MIRROR.name), os.chown(p, 1, 1)], "another user")}
    rows = [(["--help"], 0, "usage: korvanth-mirror"), (["--bogus", server, dest], 2, "unknown option --bogus"),
            (["--keep", "x", server, dest], 2, "--keep takes a number"), ([server], 2, "usage: korvanth-mirror"),
            (["--dry-run", server, dest], 0, "would copy 4 file(s), link 0 unchanged, drop 0"),
            ([server, server], 1, "DEST is SERVER_DIR itself"), ([tmp_path / "none", dest], 1, "has no live release"),
            ([server, "-dest"], 2, "write ./-dest"), ([server, "-host:dir"], 2, "write ./-host:dir"),
            # Only a release signed by a key given, checked before DEST is made.
            (["--release-key", keys / "other.pub", signed, dest], 1, f"signed by key {signer}, did not pass"),
            (["--release-key", keys / "studio.pub", server, dest], 1, "not signed, did not pass"),
            (["--dry-run", "--release-key", keys / "other.pub", "--release-key", keys / "studio.pub", signed, dest],
             0, "would copy 5 file(s)")]
    rows += [([server, typo], 2, "names no rclone remote") for typo in ("rclone:", "rclone:typo", "rclone::x")]
    rows += [([server, dest], 1, f"{name}: {said}") for name, (_, _, said) in planted.items()]
    # Other runs into what DEST holds: the origin's number taken there by another release; root rolling
    # back a folder whose lock is another user's, held by a run of theirs (a mirror's, a server folder's) or not.
    a_mirror, a_server = (lambda p: run(MIRROR, server, p)), (lambda p: publish(tmp_path / "release", RELEASE, p))
    planted.update({"a mirror further on": (dest, further_on), "a mirror held": (dest, theirs(a_mirror, True)),
                    "a server folder held": (dest, theirs(a_server, True)),
                    "a server folder": (dest, theirs(a_server, False)), "moved back": (dest, moved_back)})
    rows += [(["--dry-run", server, dest], 0, "a mirror further on: 000001 is not above releases/000002"),
             ([TOOL, "--rollback", dest], 2, "a mirror held: is a folder of korvanth-mirror (a mirror)"),
             ([TOOL, "--rollback", dest], 2, "a server folder held: and a run holds it now"),
             ([TOOL, "--rollback", dest], 2, "a server folder: who could hold it and keep every publish out"),
             # With keys, never a release older than the one DEST serves.
             (["--release-key", keys / "studio.pub", signed, dest], 1, "moved back: current was moved back? nothing")]
    for args, code, message in rows:
        if message.split(": ")[0] in planted:
            put(*planted[message.split(": ")[0]][:2])
        before = tree(tmp_path)

        tool = [] if args[0] == TOOL else [MIRROR]
        result = run(*tool, *args, env=dict(ENV, KORVANTH_RCLONE=tmp_path / "rclone"), cwd=tmp_path, timeout=30)

        message = message.split(": ")[-1]
        assert (result.returncode, message in (result.stdout if code == 0 else result.stderr)) == (code, True), \
            (args, message, result)
        assert tree(tmp_path) == before, args
        subprocess.run(["rm", "-rf", str(dest)], check=True)


def test_publish_and_mirror_started_into_one_folder_never_share_it(tmp_path):
    """Whichever claims the new folder first makes its release live there,
    whole; the other refuses, then and on every later run."""
    rng = random.Random(21)
    other = dict(RELEASE, **{"readme.txt": b"otra\r\n"})
    publish(tmp_path / "release", RELEASE, tmp_path / "origin")
    publish(tmp_path / "other", other, tmp_path / "elsewhere")
    for round in range(12):
        dest = tmp_path / f"dest{round}"
        tools = [[MIRROR, tmp_path / "origin", dest], [TOOL, "--quiet", tmp_path / "other", dest]]
        first = rng.randrange(2)
        procs = [None, None]
        procs[first] = subprocess.Popen(list(map(str, tools[first])), env=ENV, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        time.sleep(rng.uniform(0, 0.03))
        procs[1 - first] = subprocess.Popen(list(map(str, tools[1 - first])), env=ENV, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.PIPE, text=True)
        codes = [proc.wait(60) for proc in procs]

        assert sorted(codes) in ([0, 1], [0, 2]), (round, codes, [p.stderr.read() for p in procs])  # the mirror refuses with 1, a publish with 2
        owner = codes.index(0)
        assert served(dest)[1] == manifest_of([RELEASE, other][owner]), round
        assert run(TOOL, "--check", dest).returncode == 0
        assert [run(*tool).returncode for tool in tools] == [[0, 2], [1, 0]][owner], round


def releases_of(rng, count, size):
    """Three releases of the same paths, every file different: [(files, manifest)]."""
    releases = [{f"data/part{i:03}.pak": rng.randbytes(size) for i in range(count)} for _ in range(3)]
    return [(files, manifest_of(files)) for files in releases]


def sample(dest, releases, rng):
    """A player's manifest and then one file it lists, read from the mirror:
    the index of the release each came from (None: neither)."""
    try:
        manifest = (dest / "current" / "manifest.txt").read_text()
        path = rng.choice(manifest.splitlines()).split("\t")[2]
        data = (dest / "current" / "files" / path).read_bytes()
    except (FileNotFoundError, IndexError):
        return [None]
    return [next((i for i, (_, m) in enumerate(releases) if m == manifest), None),
            next((i for i, (f, _) in enumerate(releases) if f.get(path) == data), None)]


def test_players_reading_during_a_mirror_see_the_old_release_then_the_new(tmp_path):
    rng = random.Random(5)
    releases = releases_of(rng, 200, 64 << 10)
    server, dest = tmp_path / "server", tmp_path / "dest"
    publish(tmp_path / "release", releases[0][0], server)
    assert run(MIRROR, server, dest).returncode == 0
    publish(tmp_path / "release", releases[1][0], server)
    # While the run copies (from SERVER_DIR given as its current link), the
    # origin publishes the third release and a second run into DEST starts.
    for path, data in releases[2][0].items():
        (tmp_path / "third" / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "third" / path).write_bytes(data)
    stand_in = tmp_path / "bin" / "xargs"  # what starts the copy into a local folder
    stand_in.parent.mkdir()
    stand_in.write_text(f'#!/bin/sh\nset -e\nexport PATH="{ENV["PATH"]}"\n'
                        f'if mkdir "{tmp_path}/once" 2>/dev/null; then\n'
                        f'  "{TOOL}" --quiet "{tmp_path}/third" "{server}"\n'
                        f'  "{MIRROR}" "{server}" "{dest}" 2>"{tmp_path}/second" || :\nfi\nexec xargs "$@"\n')
    stand_in.chmod(0o755)
    seen = []
    mirror = subprocess.Popen([str(MIRROR), str(server / "current"), str(dest)], stdout=subprocess.DEVNULL,
                              env=dict(ENV, PATH=f"{stand_in.parent}:{ENV['PATH']}"))
    while mirror.poll() is None:
        seen += sample(dest, releases, rng)
    seen += sample(dest, releases, rng)

    # Each request before the switch got the old release, each one after it
    # the new, which is the one live when the run started; the second run
    # refused.
    second = (tmp_path / "second").read_text()
    assert mirror.returncode == 0 and seen[0] == 0 and seen[-1] == 1 and seen == sorted(seen), seen
    assert "another korvanth-publish or korvanth-mirror run is writing" in second, second


def test_mirrors_killed_or_out_of_space_leave_the_live_release_whole(tmp_path):
    rng = random.Random(9)
    files = {f"data/part{i}.pak": rng.randbytes(1 << 20) for i in range(6)}
    server, dest, release = tmp_path / "server", tmp_path / "dest", tmp_path / "release"
    publish(release, files, server)
    started = time.monotonic()
    assert run(MIRROR, server, dest).returncode == 0
    took = time.monotonic() - started
    live = manifest_of(files)
    for round in range(16):
        files[f"data/part{round % 6}.pak"] = rng.randbytes(1 << 20)
        publish(release, files, server)
        # Odd rounds: a first mirror into a new folder, which the next run clears and completes.
        target = tmp_path / f"new {round}" if round % 2 else dest
        proc = subprocess.Popen([str(MIRROR), str(server), str(target)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(rng.uniform(0, took * 1.5))
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        if round % 2:  # as soon as the killed run's processes are gone (a few ms), the next run may start
            result = next(r for _ in range(100) if "is writing" not in (r := run(MIRROR, server, target)).stderr)
            assert result.returncode == 0 and served(target)[1] == manifest_of(files), (round, result)
            continue
        check = run(TOOL, "--check", dest)
        served_manifest = served(dest)[1]
        assert check.returncode == 0 and served_manifest in (live, manifest_of(files)), (round, check.stderr)
        live = served_manifest

    # A destination that fills up: the new release does not fit beside the old.
    small = tmp_path / "small"
    small.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=10m", "tmpfs", str(small)], check=True)
    try:
        live = None
        for extra, code in ((b"1", 0), (rng.randbytes(5 << 20), 1), (b"3", 0)):
            publish(release, dict(files, **{"big.pak": extra}), server)

            result = run(MIRROR, server, small / "mirror")

            live = manifest_of(dict(files, **{"big.pak": extra})) if code == 0 else live
            assert (result.returncode, "live release is unchanged" in result.stderr) == (code, code == 1), result
            assert run(TOOL, "--check", small / "mirror").returncode == 0
            assert served(small / "mirror")[1] == live
        # The origin's numbers: the release between them did not fit.
        assert sorted(p.name for p in (small / "mirror" / "releases").iterdir()) == ["000018", "000020"]
    finally:
        subprocess.run(["umount", str(small)], check=True)
    # A purge list that cannot be written: into a missing folder, refused
    # before anything changes; failing after the switch (korvanth-publish
    # fails), exit 3, the new release live and what the killed runs left cleared.
    failing = tmp_path / "failing" / "korvanth-publish"
    failing.parent.mkdir()
    failing.write_text("#!/bin/sh\nexit 1\n")
    failing.chmod(0o755)
    publish(release, dict(files, **{"new.pak": b"new"}), server)
    before = tree(dest)
    for folder, path, code in ((tmp_path / "no folder", ENV["PATH"], 1),
                               (tmp_path, f"{failing.parent}:{ENV['PATH']}", 3)):
        result = run(MIRROR, "--purge-list", folder / "purge.txt", server, dest, env=dict(ENV, PATH=path))
        assert (result.returncode, "is live in" in result.stderr, tree(dest) == before) == (code, code == 3, code == 1)
    assert served(dest)[1] == (server / "current" / "manifest.txt").read_text()
    assert all(p.name.isdigit() for p in (dest / "releases").iterdir())


@pytest.fixture
def bucket(tmp_path_factory):
    """A local S3 server with the bucket "game", and rclone's remote "store"
    for it (a config and environment of the test's own); yields (the base
    URL players use, the environment)."""
    folder = tmp_path_factory.mktemp("s3")
    port = free_port()
    proc = subprocess.Popen([str(S3RVER), "-d", str(folder / "data"), "-a", "127.0.0.1", "-p", str(port), "-s",
                             "--configure-bucket", "game"], stdout=subprocess.DEVNULL)
    (folder / "rclone.conf").write_text(f"[store]\ntype = s3\nprovider = Other\naccess_key_id = S3RVER\n"
                                        f"secret_access_key = S3RVER\nendpoint = http://127.0.0.1:{port}\n"
                                        "force_path_style = true\n")
    wait_for_port(port, proc)
    yield f"http://127.0.0.1:{port}/game/korvanth/", dict(PATH=ENV["PATH"], HOME=str(folder),
                                                           RCLONE_CONFIG=str(folder / "rclone.conf"))
    proc.terminate()
    proc.wait(10)


@pytest.mark.parametrize("build", sorted(BUILDS))
def test_the_updater_updates_from_an_object_store_mirror(tmp_path, build, bucket):
    url, env = bucket
    server = tmp_path / "server"
    files = dict(RELEASE, **{"Korvanth.exe": (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes()})
    publish(tmp_path / "release", files, server)
    assert run(MIRROR, server, "rclone:store:game/korvanth", env=env).returncode == 0
    game = make_game(tmp_path, build, update_url=url)

    updated = run_updater(tmp_path, build)

    assert updated.stdout.endswith(COMPLETE.replace("\n", "\r\n")), updated.stdout
    assert {path: (game / path).read_bytes() for path in files} == files
    assert run(TOOL, "--check", url).returncode == 0
    assert urllib.request.urlopen(url + "manifest.txt").headers["Cache-Control"] == "no-cache"
    # A file the next release drops is deleted once the manifest no longer names it.
    del files["readme.txt"]
    publish(tmp_path / "release", files, server)
    result = run(MIRROR, server, "rclone:store:game/korvanth", env=env)
    assert result.returncode == 0 and "0 uploaded, 1 deleted" in result.stdout, result
    with pytest.raises(urllib.error.HTTPError, match="404"):
        urllib.request.urlopen(url + "files/readme.txt")
    assert run(TOOL, "--check", url).returncode == 0
    # The manifest's upload fails after a changed file's: the run says what the store serves.
    publish(tmp_path / "release", dict(files, **{"Korvanth.exe": b"MZ 2"}), server)
    (tmp_path / "rclone").write_text('#!/bin/sh\n[ "$1" != copyto ] || exit 1\nexec rclone "$@"\n')
    (tmp_path / "rclone").chmod(0o755)
    result = run(MIRROR, server, "rclone:store:game/korvanth", env=dict(env, KORVANTH_RCLONE=tmp_path / "rclone"))
    assert (result.returncode, "may now serve changed files under the old manifest" in result.stderr) == (1, True), \
        result
