"""A manifest that does not arrive whole must end in the "no server" ending:
parsed in part, it would make a client look current or half-updated."""

import pytest

from harness import (NO_SERVER, UP_TO_DATE, Reply, check_transcript, header,
                     make_game, md5, run_updater, snapshot)

FILES = {"readme.txt": b"Korvanth 1.1\r\n", "data/a.pak": b"a" * 5000}
MANIFEST = "".join(f"{md5(d)}\t{len(d)}\t{p}\n" for p, d in FILES.items()).encode()
CAP = 64 << 20


@pytest.mark.parametrize("name, reply", [
    ("cut short: fewer bytes than Content-Length",
     Reply(body=MANIFEST[:-20], headers={"Content-Length": str(len(MANIFEST))})),
    ("declared larger than the in-memory cap",
     Reply(body=MANIFEST, headers={"Content-Length": str(CAP + 1)})),
    ("no length, larger than the in-memory cap",
     Reply(body=MANIFEST * (CAP // len(MANIFEST) + 1), headers={"Content-Length": None})),
    ("status 404", Reply(status=404, body=MANIFEST)),
    ("status 500", Reply(status=500, body=MANIFEST)),
    ("status 204", Reply(status=204)),
    ("status 206", Reply(status=206, body=MANIFEST)),
    ("empty body", Reply(body=b"")),
])
def test_manifest_not_received_whole_means_no_server(tmp_path, build, server, name, reply):
    server.routes["manifest.txt"] = reply
    make_game(tmp_path, build, {"readme.txt": b"old"}, update_url=server.url)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), NO_SERVER])
    assert server.requested() == ["/manifest.txt"]
    assert snapshot(tmp_path) == before


def test_manifest_without_length_read_to_the_close(tmp_path, build, server):
    server.routes["manifest.txt"] = Reply(body=MANIFEST, headers={"Content-Length": None})
    make_game(tmp_path, build, FILES, update_url=server.url)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), " Verificando 2 archivos...\n", UP_TO_DATE])


@pytest.mark.parametrize("name, text, count", [
    ("CR LF and trailing blanks", MANIFEST.replace(b"\n", b"  \r\n"), 2),
    ("UTF-8 byte-order mark spoils only the first line", b"\xef\xbb\xbf" + MANIFEST, 1),
])
def test_manifest_text_variants(tmp_path, build, server, name, text, count):
    server.routes["manifest.txt"] = Reply(body=text)
    make_game(tmp_path, build, FILES, update_url=server.url)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), f" Verificando {count} archivos...\n", UP_TO_DATE])


@pytest.mark.parametrize("name, line, url", [
    ("no path", "{root}", "{root}"),
    ("trailing blanks and CR LF", "{root}/patch/  \r\n", "{root}/patch/"),
    ("first line over 511 characters", "{root}/{long}tail\nhttp://ignored/\n", "{root}/{long}"),
])
def test_update_url_forms(tmp_path, build, server, name, line, url):
    root = server.url.rstrip("/")
    long = "p" * (511 - len(root) - 1)
    line, url = line.format(root=root, long=long), url.format(root=root, long=long)
    server.base_path = url[len(root):].rstrip("/") + "/"
    server.routes["manifest.txt"] = Reply(body=MANIFEST)
    make_game(tmp_path, build, FILES, update_url=line)

    run = run_updater(tmp_path, build)

    assert len(url) <= 511
    check_transcript(run.stdout, [header(url), " Verificando 2 archivos...\n", UP_TO_DATE])
    assert server.requested() == [server.base_path + "manifest.txt"]
