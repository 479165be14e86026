"""The real deployment: releases published with korvanth-publish, served by
nginx with the configuration the hosting guide gives (HTTPS, the tests' CA),
the updater run against it, directly and through a cache purged from the
release tool's list, the release tool's check of the live server, and a
short patch day under load."""

import os
import re
import subprocess
import sys
import time
import urllib.request

import pytest

from harness import (BUILDS, COMPLETE, REPO, TOOL, Progress, check_transcript, free_port, header, make_game, md5,
                     publish_files, release_key, run_updater, wait_for_port)

sys.path.insert(0, str(REPO / "bench"))
import patchday  # noqa: E402
from run import start_nginx  # noqa: E402 (the benchmarks' nginx: the shipped configuration, as the guide fills it)


@pytest.fixture
def nginx(tmp_path_factory, pki):
    """Starts nginx on a free loopback port over a server folder; yields (url, folder)."""
    run = tmp_path_factory.mktemp("nginx")
    proc, port = start_nginx(run / "server", pki, run)
    yield f"https://localhost:{port}/", run / "server"
    proc.terminate()
    proc.wait(10)


# One file per class of name the release tool accepts: each must come back
# under its own name through nginx and the updater.
ACCEPTED = ["Data/Maps2/Town01.MAP", " lead/two  blanks.txt", "p/!#$&'()+,-;=@[]^_`{}~.dat",
            ".hidden/dots...name.tar.gz"]


def requested_since(log, offset, count):
    """Request targets nginx logged past offset bytes, once count are there
    (it flushes its log within a second) or after 3 s."""
    deadline = time.monotonic() + 3
    while True:
        targets = re.findall(r'"GET /(\S*) HTTP/1.1"', log.read_bytes()[offset:].decode())
        if len(targets) >= count or time.monotonic() > deadline:
            return targets
        time.sleep(0.1)


def test_every_accepted_name_round_trips_and_a_rollback_brings_it_back(tmp_path, build, nginx):
    url, server = nginx
    log = server.parent / "nginx-https" / "access.log"
    listed = tmp_path.parent / f"purge-{build}.txt"
    release = tmp_path.parent / f"release-{build}"
    v1 = {path: path.encode() * 40 for path in ACCEPTED}
    game_exe = (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes()
    publish_files(release, dict(v1, **{"Korvanth.exe": game_exe}), server, "--purge-list", listed)
    game = make_game(tmp_path, build, update_url=url)

    first = run_updater(tmp_path, build)

    kb = sum(len(data) >> 10 for data in v1.values())
    check_transcript(first.stdout, [
        header(url), " Verificando 5 archivos...\n", f"\n Hay 4 archivo(s) para actualizar ({kb} KB):\n\n",
        *[piece for i, path in enumerate(sorted(v1)) for piece in (f" [{i + 1}/4] {path}\n", Progress(len(v1[path])))],
        COMPLETE])
    assert {path: (game / path).read_bytes() for path in v1} == v1
    # The list names each URL exactly as the updater asked for it (the game,
    # which the folder already holds, was not fetched).
    expected = [p for p in listed.read_text().splitlines() if p != "files/Korvanth.exe"]
    assert requested_since(log, 0, len(expected)) == expected

    changed = sorted(v1)[0]
    for step, content in (("publish", b"v2"), ("--rollback", v1[changed])):
        if step == "publish":
            publish_files(release, {changed: b"v2"}, server, "--purge-list", listed)
        else:
            assert subprocess.run([str(TOOL), "--rollback", "--purge-list", str(listed), str(server)],
                                  capture_output=True).returncode == 0
        run = run_updater(tmp_path, build)
        check_transcript(run.stdout, [
            header(url), " Verificando 5 archivos...\n", f"\n Hay 1 archivo(s) para actualizar ({len(content) >> 10} KB):\n\n",
            f" [1/1] {changed}\n", Progress(len(content)), COMPLETE])
        assert (game / changed).read_bytes() == content
        assert listed.read_text().splitlines() == ["manifest.txt", "files/" + changed.replace(" ", "%20")], step


RELEASE = {"Korvanth.exe": b"MZ game", "data/a b.pak": bytes(range(256)) * 300, "readme.txt": b"hola\r\n"}


# Each check, of the server folder and of the live server, names what is wrong
# (one message: the folder's check alone, since nginx runs as root here);
# with the release key, the signature and every file's signed SHA-256 too.
@pytest.mark.parametrize("name, signed, damage, messages", [
    ("served as published", None, None, ["ok: 3 files\n", "ok: 3 files (76813 bytes) served by {url}\n"]),
    # Signed: the release record is one more file, its serial and a line end.
    ("signed, checked with its key", "studio", None, ["ok: 4 files\n", "ok: 4 files (76824 bytes) served by {url}\n"]),
    ("signed, a file and its line changed", "studio", lambda live: ((live / "files" / "readme.txt").write_bytes(b"HOLA"),
     (live / "manifest.txt").write_text((live / "manifest.txt").read_text().replace(md5(b"hola\r\n"), md5(b"HOLA"))
                                        .replace("\t6\treadme", "\t4\treadme"))),
     ["does not match its bytes: changed after it was signed"] * 2),
    ("signed with another key", "foreign", None, ["none of the keys given"] * 2),
    ("a file changed", None, lambda live: (live / "files" / "readme.txt").write_bytes(b"HOLA\r\n"),
     [f"readme.txt: digest {md5(bytes([72, 79, 76, 65, 13, 10]))}, manifest says"] * 2),
    ("a file cut short", None, lambda live: (live / "files" / "readme.txt").write_bytes(b"hola"),
     ["readme.txt: 4 bytes, manifest says 6"] * 2),
    ("a file missing", None, lambda live: (live / "files" / "data" / "a b.pak").unlink(),
     ["data/a b.pak: missing from files/", "data/a b.pak: status 404"]),
    ("a line the updater skips", None, lambda live: (live / "manifest.txt").write_text(
        (live / "manifest.txt").read_text() + "junk line\n"), ["line 4: the updater would skip it"] * 2),
    ("no release at all", None, lambda live: (live / "manifest.txt").unlink(),
     ["no manifest.txt", "manifest.txt: status 404"]),
    ("a manifest over 64 MiB", None, lambda live: (live / "manifest.txt").write_bytes(b"#" * ((64 << 20) + 1)),
     ["manifest.txt: larger than 64 MiB: players' updaters refuse it"] * 2),
    ("a file closed to others", None, lambda live: (live / "files" / "readme.txt").chmod(0o600),
     ["readme.txt: mode 0600: the web server, another user, cannot read it"]),
    ("a folder closed to others", None, lambda live: (live / "files" / "data").chmod(0o750),
     ["files/data: mode 0750: the web server, another user, cannot read below it"]),
    ("a pipe for a manifest", None, lambda live: ((live / "manifest.txt").unlink(), os.mkfifo(live / "manifest.txt")),
     ["manifest.txt: not a regular file"]),
])
def test_checks_of_a_server(tmp_path, nginx, pki, foreign_key, name, signed, damage, messages):
    url, server = nginx
    key = {"studio": release_key("x86_64"), "foreign": foreign_key}.get(signed)
    publish_files(tmp_path / "release", RELEASE, server, *(["--sign", key] if key else []))
    if damage:
        damage(server / "releases" / "000001")

    keys = ["--release-key", str(release_key("x86_64", private=False))] if signed else []
    for target, message in zip([[str(server)], ["--cacert", str(pki / "ca.pem"), url]], messages):
        result = subprocess.run([str(TOOL), "--check", *keys, *target], capture_output=True, text=True, timeout=60)
        if message.startswith("ok:"):
            assert (result.returncode, result.stdout) == (0, message.format(url=url)), result.stderr
        else:
            assert result.returncode == 1 and message in result.stderr, (target, result.stderr)


# The tests' stand-in for a CDN: varnish keeping every answer for an hour,
# whatever the origin's headers say, and forgetting a URL on PURGE.
VCL = """vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "%d"; }
acl loopback { "127.0.0.1"; "::1"; }
sub vcl_recv {
    if (req.method == "PURGE") {
        if (client.ip !~ loopback) { return (synth(405)); }
        return (purge);
    }
    return (hash);
}
sub vcl_backend_response { set beresp.ttl = 1h; return (deliver); }
"""
# The hosting guide's purge loop, with its base URL.
PURGE_LOOP = 'while IFS= read -r p; do curl -fsS -g -o /dev/null -X PURGE "$0$p"; done < "$1"'


@pytest.fixture
def cached_origin(tmp_path_factory, pki):
    """nginx in plain HTTP with varnish in front; yields (varnish's url, server folder)."""
    run = tmp_path_factory.mktemp("origin")
    origin, port = start_nginx(run / "server", pki, run, secure=False)
    (run / "origin.vcl").write_text(VCL % port)
    cache_port = free_port()
    cache = subprocess.Popen(["varnishd", "-F", "-j", "none", "-n", str(run / "varnish"), "-a",
                              f"127.0.0.1:{cache_port}", "-f", str(run / "origin.vcl"), "-s", "malloc,64m"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_for_port(cache_port, cache)
    yield f"http://127.0.0.1:{cache_port}/", run / "server"
    for proc in (cache, origin):
        proc.terminate()
        proc.wait(10)


def test_a_cache_purged_from_the_list_serves_each_release_whole(tmp_path, build, cached_origin):
    url, server = cached_origin
    release, listed = tmp_path.parent / f"cached-{build}", tmp_path.parent / f"cached-{build}.txt"
    v1 = {"Korvanth.exe": (BUILDS[build][1] / "tests" / "StandInGame.exe").read_bytes(), "data/same.pak": b"s" * 3000,
          "data/changed one.pak": b"1" * 5000, "data/dropped [old].pak": b"d" * 2000}
    publish_files(release, v1, server)
    game = make_game(tmp_path, build, update_url=url)
    run_updater(tmp_path, build)  # the cache now holds the first release

    (release / "data/dropped [old].pak").unlink()
    v2 = dict(v1, **{"data/changed one.pak": b"2" * 5000, "data/added {new}#.pak": b"a" * 1000})
    del v2["data/dropped [old].pak"]
    steps = [(lambda: publish_files(release, v2, server, "--purge-list", listed), v2,
              ["files/data/added%20%7Bnew%7D%23.pak", "files/data/changed%20one.pak", "files/data/dropped%20%5Bold%5D.pak"]),
             (lambda: subprocess.run([str(TOOL), "--rollback", "--purge-list", str(listed), str(server)], check=True), v1,
              ["files/data/changed%20one.pak", "files/data/dropped%20%5Bold%5D.pak", "files/data/added%20%7Bnew%7D%23.pak"])]
    for step, files, changed in steps:
        step()
        assert listed.read_text().splitlines() == ["manifest.txt", *changed]
        stale = urllib.request.urlopen(url + "manifest.txt").read()
        assert stale != (server / "current" / "manifest.txt").read_bytes(), "the cache did not keep the manifest"

        subprocess.run(["sh", "-c", PURGE_LOOP, url, str(listed)], check=True)
        run = run_updater(tmp_path, build)

        assert run.stdout.endswith(COMPLETE.replace("\n", "\r\n")), run.stdout
        assert {path: (game / path).read_bytes() for path in files} == files


def test_patch_day_under_load_every_answer_whole(tmp_path, nginx, pki):
    url, server = nginx
    releases = patchday.make_releases(tmp_path, 10, 16 << 10)

    figures, counts = patchday.run_patch_day(server, int(url.split(":")[2].strip("/")), pki / "ca.pem", releases,
                                             400, 16000, tmp_path)

    assert (figures["requests"], figures["failed"], figures["non200"], counts["foreign"]) == (16000, 0, 0, 0), \
        (figures, counts)
    assert counts["publishes"] >= 2 and counts["rollbacks"] >= 1, counts
