import socket

import pytest

from harness import BUILDS, PatchServer


@pytest.fixture(params=sorted(BUILDS))
def build(request):
    """Every end-to-end row runs against both built updaters."""
    exe = BUILDS[request.param][1] / "KorvanthUpdater.exe"
    assert exe.exists(), f"{exe} is not built: run scripts/build.sh"
    return request.param


@pytest.fixture
def server():
    srv = PatchServer()
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def closed_port():
    """A loopback port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
