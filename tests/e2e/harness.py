"""Shared pieces of the end-to-end suite: a programmable patch server on
loopback, game folders, and a runner that starts a built updater under Wine
from another folder and collects what a player would see."""

import hashlib
import http.server
import os
import re
import shutil
import socket
import ssl
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace

REPO = Path(__file__).resolve().parents[2]
BUILDS = {
    "x86_64": (REPO / "scripts" / "wine-x86_64.sh", REPO / "build" / "x86_64"),
    "i686": (REPO / "scripts" / "wine-i386.sh", REPO / "build" / "i686"),
}

BANNER = ("=============================================\n"
          "       KORVANTH - Actualizador  v1.0\n"
          "=============================================\n\n")
NO_SERVER = " [!] No pude contactar el servidor de parches.\n     Inicio el juego igual...\n\n"
BAD_MANIFEST = " [!] Manifest vacio o invalido. Inicio el juego...\n"
NO_FOLDER = " [!] No pude abrir la carpeta del actualizador.\n     Inicio el juego igual...\n\n"
UP_TO_DATE = "\n Cliente al dia. Iniciando el juego...\n"
COMPLETE = "\n Actualizacion completa! Iniciando el juego...\n"
HASH_FAILED = "    [!] Hash incorrecto, descarga corrupta.\n"
UNEXPECTED = "\n [!] Error inesperado en el actualizador.\n     Inicio el juego igual...\n\n"
PAUSE_PROMPT = "Press any key to continue... "  # Wine's command interpreter
DEFAULT_BASE_URL = "https://patch.korvanth.example/client/"
TOOL = REPO / "build" / "native" / "tools" / "publish" / "korvanth-publish"
SIGNED_UPDATER = "tests/SignedUpdater.exe"


def release_key(build, private=True, name="studio"):
    """The private (or public) key of the releases SIGNED_UPDATER takes; name
    "next": the key it is rotated to (RotatingUpdater takes both, NextUpdater
    that one alone)."""
    return BUILDS[build][1] / "tests" / "release-keys" / (name + (".pem" if private else ".pub.pem"))


def md5(data):
    return hashlib.md5(data).hexdigest()


def manifest_of(files):
    """The manifest korvanth-publish writes for {path: bytes}."""
    return "".join(f"{md5(files[p])}\t{len(files[p])}\t{p}\n" for p in sorted(files))


def tree(folder):
    """{path: bytes, or a link's target} of everything below folder (a file: its bytes)."""
    return {str(p.relative_to(folder)): p.is_symlink() and os.readlink(p) or p.is_file() and p.read_bytes()
            for p in folder.rglob("*")} if folder.is_dir() else folder.read_bytes()


def publish_files(release, files, server, *options, exact=False):
    """Writes {path: bytes} into the release folder (exact: it holds only
    them) and publishes it with korvanth-publish."""
    if exact and release.exists():
        shutil.rmtree(release)
    for path, data in files.items():
        (release / path).parent.mkdir(parents=True, exist_ok=True)
        (release / path).write_bytes(data)
    result = subprocess.run([str(TOOL), "--quiet", *map(str, options), str(release), str(server)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc):
    """Until something listens on port, as long as proc runs (10 s at most)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            assert proc.poll() is None, proc.args
            time.sleep(0.05)


def header(url=None):
    tested = f" [i] Usando servidor de pruebas: {url}\n\n" if url is not None else ""
    return BANNER + tested + " Buscando actualizaciones...\n"


def with_failures(count):
    return (f"\n [!] {count} archivo(s) NO se pudieron actualizar.\n"
            "     Proba de nuevo en un rato. Inicio el juego igual...\n" + PAUSE_PROMPT)


def game_missing(error):
    return f"\n [!] No pude abrir \"Korvanth.exe\" ({error}). Abrilo a mano.\n" + PAUSE_PROMPT


@dataclass
class Progress:
    """One file's progress line in an expected transcript: WinHTTP's chunk
    sizes vary, so only its shape and figures are fixed. partial: the
    download broke off anywhere, possibly before the first line."""
    size: int
    partial: bool = False


# ---------------------------------------------------------------- the server

@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    headers: dict = field(default_factory=dict)
    endless: bool = False  # the body, then junk until the client gives up
    pace: tuple = None  # (bytes, seconds): the body sent that many bytes at a time, a pause after each


class PatchServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, tls_pem=None):
        super().__init__(("127.0.0.1", 0), PatchHandler)
        self.scheme = "http"
        if tls_pem is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(tls_pem)
            self.socket = context.wrap_socket(self.socket, server_side=True)
            self.scheme = "https"
        self.routes = {}
        self.requests = []
        self.headers = []  # each request's headers, names in lower case
        self.base_path = "/"
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        host = "localhost" if self.scheme == "https" else "127.0.0.1"
        return f"{self.scheme}://{host}:{self.server_port}{self.base_path}"

    def handle_error(self, request, client_address):
        pass  # a client that gives up on a handshake is a row, not a server fault

    def publish(self, files, extra_lines=()):
        """Serves manifest.txt and files/ for {path: bytes} below base_path."""
        lines = [f"{md5(data)}\t{len(data)}\t{path}" for path, data in files.items()]
        self.routes["manifest.txt"] = Reply(body=("\n".join(list(extra_lines) + lines) + "\n").encode())
        for path, data in files.items():
            self.routes["files/" + path] = Reply(body=data)

    def serve(self, folder):
        """Serves a live release folder (manifest.txt and files/) below base_path."""
        self.routes = {"manifest.txt": Reply(body=(folder / "manifest.txt").read_bytes())}
        for path in (folder / "files").rglob("*"):
            if path.is_file():
                self.routes["files/" + str(path.relative_to(folder / "files"))] = Reply(body=path.read_bytes())

    def requested(self):
        return [path for path, _ in self.requests]


class PatchHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        server = self.server
        server.requests.append((self.path, self.headers.get("User-Agent")))
        server.headers.append({name.lower(): value for name, value in self.headers.items()})
        base = server.base_path
        reply = self.path.startswith(base) and server.routes.get(self.path[len(base):]) or Reply(404, b"not found")
        self.send_response(reply.status)
        # A header given as None is left out.
        for name, value in dict({"Content-Length": str(len(reply.body)), "Connection": "close"},
                                **reply.headers).items():
            if value is not None:
                self.send_header(name, value)
        self.end_headers()
        self.close_connection = True
        try:
            step = reply.pace[0] if reply.pace else len(reply.body) or 1
            for at in range(0, len(reply.body), step):
                self.wfile.write(reply.body[at:at + step])
                self.wfile.flush()
                time.sleep(reply.pace[1] if reply.pace else 0)
            while reply.endless:
                self.wfile.write(b"x" * 65536)
        except OSError:
            pass

    def log_message(self, *args):
        pass


# ----------------------------------------------------------- the game folder

def make_game(tmp, build, files=None, update_url=None, folder="game", updater="KorvanthUpdater.exe"):
    """tmp/folder holds the updater (by default the build's; SIGNED_UPDATER,
    the one built with the tests' release key), the stand-in game and the
    given files; tmp/elsewhere is the folder the updater is started from."""
    _, build_dir = BUILDS[build]
    game = tmp / folder
    game.mkdir(parents=True)
    (tmp / "elsewhere").mkdir()
    shutil.copy(build_dir / updater, game / "KorvanthUpdater.exe")
    shutil.copy(build_dir / "tests" / "StandInGame.exe", game / "Korvanth.exe")
    for path, data in (files or {}).items():
        target = game / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    if update_url is not None:
        (game / "update.url").write_bytes(update_url.encode() if isinstance(update_url, str) else update_url)
    return game


def snapshot(folder):
    """{relative path: bytes or None for a folder} of everything below folder."""
    return {str(p.relative_to(folder)): None if p.is_dir() else p.read_bytes() for p in folder.rglob("*")}


# ---------------------------------------------------------------- the runner

# What the game waits for after each ending's text: a run that skips the wait
# starts the game before the player could read the line.
WAITS = {NO_SERVER: 1.5, NO_FOLDER: 1.5, BAD_MANIFEST: 1.5, UP_TO_DATE: 1.2, COMPLETE: 1.2, UNEXPECTED: 1.5}


def run_updater(tmp, build, expect_prompt=False, folder="game", game_starts=True, timeout=90, started_in=None,
                dll_overrides=None, data_limit=None):
    """Runs the updater of tmp/folder from tmp/elsewhere and checks what holds
    on every path: exit code 0, nothing on stderr, the ending's wait, the game
    started once in its own folder (or in started_in) and not waited for
    (after the key when a prompt is expected), no new temporary file left, and
    nothing changed outside the game folder. dll_overrides: Wine's
    WINEDLLOVERRIDES for the run; data_limit: the bytes of memory it may
    take (prlimit --data), past which an allocation fails."""
    game = tmp / folder
    record = game / "game_started.txt"
    around = {k: v for k, v in snapshot(tmp).items() if not (tmp / k).is_relative_to(game)}
    temporaries = {p for p in snapshot(game) if p.endswith(".kvdl")}
    env = dict(os.environ, **({"WINEDLLOVERRIDES": dll_overrides} if dll_overrides else {}))
    limit = ["prlimit", f"--data={data_limit}"] if data_limit else []
    proc = subprocess.Popen([*limit, str(BUILDS[build][0]), str(game / "KorvanthUpdater.exe")], cwd=tmp / "elsewhere",
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out, err, arrivals = bytearray(), bytearray(), []
    readers = [threading.Thread(target=read_into, args=args, daemon=True)
               for args in ((proc.stdout, out, arrivals), (proc.stderr, err, []))]
    for reader in readers:
        reader.start()

    if expect_prompt:
        deadline = time.monotonic() + timeout
        while PAUSE_PROMPT.encode() not in out and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)  # a game started too early would have written its record by now
        assert not record.exists(), "the game started before the key was pressed"
        proc.stdin.write(b"\n")
        proc.stdin.flush()
    proc.stdin.close()
    exit_code = proc.wait(timeout=timeout)
    arrivals.append((time.monotonic(), float("inf")))
    # The game may hold the same pipes: what the updater wrote is there by
    # now, the end of the pipe only comes when the game exits.
    for reader in readers:
        reader.join(0.2)

    # Started, not waited for: the record appears a moment later, and the
    # game writes "exited" to it only ten seconds after that.
    deadline = time.monotonic() + 15
    while game_starts and b"\ncwd=" not in (record.exists() and record.read_bytes() or b"") and \
            time.monotonic() < deadline:
        time.sleep(0.05)
    run = SimpleNamespace(exit_code=exit_code, stdout=bytes(out).decode("latin-1"), stderr=bytes(err).decode("latin-1"),
                          game_record=record.read_bytes().decode("utf-8") if record.exists() else "")
    record.unlink(missing_ok=True)

    assert (run.exit_code, run.stderr) == (0, ""), run
    cwd = "Z:" + str(started_in or game).replace("/", "\\")
    assert run.game_record == (f"cmdline=\"Korvanth.exe\"\ncwd={cwd}\n" if game_starts else ""), run
    assert {p for p in snapshot(game) if p.endswith(".kvdl")} <= temporaries, "temporary file left"
    assert {k: v for k, v in snapshot(tmp).items() if not (tmp / k).is_relative_to(game)} == around, \
        "something changed outside the game folder"
    check_waits(out, arrivals)
    return run


def read_into(stream, out, arrivals):
    """Appends as it arrives, so a prompt can be seen before the process ends,
    and notes when: (time, length so far) per read."""
    while chunk := stream.read1(65536):
        out.extend(chunk)
        arrivals.append((time.monotonic(), len(out)))


def check_waits(out, arrivals):
    """From the read that completed an ending's text to the next output (or
    the exit), at least the ending's wait must pass."""
    for text, wait in WAITS.items():
        written = text.replace("\n", "\r\n").encode()
        if written not in out:
            continue
        end = bytes(out).find(written) + len(written)
        shown = next(t for t, length in arrivals if length >= end)
        after = next(t for t, length in arrivals if length > end)
        assert after - shown >= wait - 0.1, f"waited {after - shown:.2f} s after {text!r}, not {wait} s"


def check_transcript(got, expected_pieces):
    """got is the console output as bytes decoded 1:1; expected_pieces are
    texts (with "\\n" where the C runtime writes "\\r\\n") and Progress items."""
    pattern = ""
    progress = []
    for piece in expected_pieces:
        if isinstance(piece, Progress):
            repeat = "*" if piece.partial else "+"
            pattern += r"((?:\r    \d+ / \d+ KB)" + repeat + r")\r\n"
            progress.append(piece)
        else:
            pattern += re.escape(piece.replace("\n", "\r\n"))
    match = re.fullmatch(pattern, got, re.S)
    assert match, f"transcript differs\n--- got:\n{got!r}\n--- expected:\n{expected_pieces!r}"
    for lines, piece in zip(match.groups(), progress):
        figures = [tuple(map(int, m)) for m in re.findall(r"\r    (\d+) / (\d+) KB", lines)]
        received = [r for r, _ in figures]
        assert {total for _, total in figures} <= {piece.size >> 10} and received == sorted(received), figures
        if piece.partial:
            assert not received or received[-1] < piece.size >> 10, f"progress {received}"
        else:
            assert received[-1] == piece.size >> 10, f"last progress {received[-1]} KB, not {piece.size >> 10}"
