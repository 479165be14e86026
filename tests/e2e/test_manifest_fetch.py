"""A manifest that does not arrive whole must end in the "no server" ending:
parsed in part, it would make a client look current or half-updated. And
the forms of update.url."""

import subprocess

import pytest

from harness import (BAD_MANIFEST, DEFAULT_BASE_URL, NO_SERVER, TOOL, UP_TO_DATE, Reply, check_transcript, header,
                     make_game, md5, run_updater, snapshot)

FILES = {"readme.txt": b"Korvanth 1.1\r\n", "data/a.pak": b"a" * 5000}
MANIFEST = "".join(f"{md5(d)}\t{len(d)}\t{p}\n" for p, d in FILES.items()).encode()
CAP = 64 << 20


CURRENT = [" Verificando 2 archivos...\n", UP_TO_DATE]
JUNK = f"# comments, junk and refused paths\n\nnot a line\n{md5(b'x')}\t1\t../x\n{md5(b'x')}\t1\tC:/x\n"


@pytest.mark.parametrize("name, reply, ending, served_by", [
    ("untrusted certificate", Reply(body=MANIFEST), [NO_SERVER], "untrusted_server"),
    ("cut short: fewer bytes than Content-Length",
     Reply(body=MANIFEST[:-20], headers={"Content-Length": str(len(MANIFEST))}), [NO_SERVER], "server"),
    ("declared larger than the in-memory cap",
     Reply(body=MANIFEST, headers={"Content-Length": str(CAP + 1)}), [NO_SERVER], "server"),
    ("no length, larger than the in-memory cap",
     Reply(body=MANIFEST * (CAP // len(MANIFEST) + 1), headers={"Content-Length": None}), [NO_SERVER], "server"),
    ("status 206", Reply(status=206, body=MANIFEST), [NO_SERVER], "server"),
    ("empty body", Reply(body=b""), [NO_SERVER], "server"),
    ("no length, read to the close", Reply(body=MANIFEST, headers={"Content-Length": None}), CURRENT, "server"),
    ("no valid line", Reply(body=JUNK.encode()), [BAD_MANIFEST], "server"),
])
def test_only_a_whole_manifest_from_a_trusted_server_is_used(tmp_path, build, request, name, reply, ending,
                                                             served_by):
    server = request.getfixturevalue(served_by)
    server.routes["manifest.txt"] = reply
    make_game(tmp_path, build, FILES, update_url=server.url)
    before = snapshot(tmp_path)

    run = run_updater(tmp_path, build)

    check_transcript(run.stdout, [header(server.url), *ending])
    # Through an untrusted certificate not even the request is made.
    trusted = served_by != "untrusted_server"
    assert server.requests == [("/manifest.txt", "KorvanthUpdater/1.0")] * trusted
    assert snapshot(tmp_path) == before


# Text mode folds only CR LF: a lone CR, or CR CR LF, reaches the trim as a CR.
@pytest.mark.parametrize("name, line, url", [
    ("absent", None, None),
    ("blank: the built-in server, shown", "  \r\n", DEFAULT_BASE_URL),
    ("no path", "{root}", "{root}"),
    ("trailing blanks and CR LF", "{root}/patch/  \r\n", "{root}/patch/"),
    ("lone CR at the end", "{root}/patch/\r", "{root}/patch/"),
    ("CR CR LF", "{root}/patch/\r\r\n", "{root}/patch/"),
    ("first line over 511 characters", "{root}/{long}tail\nhttp://ignored/\n", "{root}/{long}"),
])
def test_update_url_forms(tmp_path, build, server, name, line, url):
    root = server.url.rstrip("/")
    long = "p" * (511 - len(root) - 1)
    line = line and line.format(root=root, long=long)
    url = url and url.format(root=root, long=long)
    server.base_path = (url or "")[len(root):].rstrip("/") + "/"
    server.routes["manifest.txt"] = Reply(body=MANIFEST)
    make_game(tmp_path, build, FILES, update_url=line)

    run = run_updater(tmp_path, build)

    if url in (None, DEFAULT_BASE_URL):
        # The built-in server lies under .example, which never resolves.
        check_transcript(run.stdout, [header(url), NO_SERVER])
        assert server.requests == []
    else:
        assert len(url) <= 511
        check_transcript(run.stdout, [header(url), " Verificando 2 archivos...\n", UP_TO_DATE])
        assert server.requested() == [server.base_path + "manifest.txt"]


def test_the_release_tool_asks_as_the_updater_asks(tmp_path, build, server):
    """What --check sends is what a player's updater sends, header for
    header: a server that answers the updater otherwise cannot tell them
    apart (the order of the headers aside, and over TLS the handshake)."""
    server.publish(FILES)
    make_game(tmp_path, build, FILES, update_url=server.url)
    run_updater(tmp_path, build)
    subprocess.run([str(TOOL), "--check", "--quiet", server.url], check=True)
    updater, tool = server.headers[0], server.headers[1]
    assert (updater, server.requested()[:2]) == (tool, ["/manifest.txt"] * 2), (updater, tool)
