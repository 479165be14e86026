import subprocess
import sys

import pytest

from harness import BUILDS, REPO, PatchServer

sys.path.insert(0, str(REPO / "scripts"))
from local_pki import make_pki  # noqa: E402


@pytest.fixture(params=sorted(BUILDS))
def build(request):
    """Every end-to-end row runs against both built updaters."""
    return request.param


def serve(tls_pem=None):
    srv = PatchServer(tls_pem)
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def server():
    yield from serve()


@pytest.fixture(scope="session")
def pki():
    """The tests' CA, trusted in both test prefixes (and nowhere else)."""
    folder = make_pki(REPO / "build" / "test-pki")
    for wrapper, build_dir in BUILDS.values():
        subprocess.run([str(wrapper), str(build_dir / "tests" / "TrustCa.exe"), str(folder / "ca.der")],
                       check=True, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True)
    return folder


@pytest.fixture
def https_server(pki):
    yield from serve(str(pki / "trusted.pem"))


@pytest.fixture
def untrusted_server(pki):
    yield from serve(str(pki / "untrusted.pem"))


@pytest.fixture(scope="session")
def foreign_key(tmp_path_factory):
    """A release key that no updater of the tests takes."""
    key = tmp_path_factory.mktemp("foreign") / "key.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072", "-out", str(key)],
                   check=True, capture_output=True)
    key.chmod(0o600)
    return key
