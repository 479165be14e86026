"""What several parts of the suite share: the release build, made as an
operator makes it."""

import os
import subprocess
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]

# korvanth-publish's own state, in a folder of the tests' rather than the
# home folder of whoever runs them; set before any test module reads the
# environment.
os.environ["KORVANTH_PUBLISH_STATE"] = tempfile.mkdtemp(prefix="korvanth-publish-state-")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(items):
    """Run on two workers, the tests of the release build (the product's, and
    any other that takes it) share one: it is made once, on the worker that
    runs them all."""
    for item in items:
        if "release_builds" in getattr(item, "fixturenames", ()) or item.nodeid.startswith("tests/product/"):
            item.add_marker(pytest.mark.xdist_group("release build"))


def code_signing_pfx(folder, password):
    """A throwaway self-signed code-signing certificate (its own CA) and key."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                    "/CN=Korvanth test signer", "-addext", "extendedKeyUsage=codeSigning", "-keyout",
                    str(folder / "key.pem"), "-out", str(folder / "ca.pem")], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-in", str(folder / "ca.pem"), "-inkey", str(folder / "key.pem"),
                    "-out", str(folder / "signer.pfx"), "-passout", "pass:" + password], check=True)
    return folder / "signer.pfx", folder / "ca.pem"


@pytest.fixture(scope="session")
def release_builds(tmp_path_factory):
    """scripts/release.sh run from two copies of the sources in folders of
    different names, then again from the second with a throwaway code-signing
    certificate: {"a", "b", "signed": their dist folders, "ca": the CA, "pfx": the certificate and key}."""
    sources = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    archive = subprocess.run(["tar", "-c", "-C", str(REPO), "--null", "-T", "-"], input=sources, check=True,
                             capture_output=True).stdout
    pfx, ca = code_signing_pfx(tmp_path_factory.mktemp("signing"), "a pass phrase")
    builds = {"ca": ca, "pfx": pfx}
    for name, signing in [("a", {}), ("b", {}), ("signed", {"KORVANTH_SIGN_PFX": str(pfx),
                                                          "KORVANTH_SIGN_PASSWORD": "a pass phrase"})]:
        if name != "signed":
            copy = tmp_path_factory.mktemp("release-" + name * (1 if name == "a" else 12))
            subprocess.run(["tar", "-x", "-C", str(copy)], input=archive, check=True)
        built = subprocess.run([str(copy / "scripts" / "release.sh")], capture_output=True, text=True,
                               env=dict(PATH="/usr/sbin:/usr/bin:/sbin:/bin", **signing))
        assert built.returncode == 0 and ("is signed" in built.stdout) == bool(signing), built.stdout + built.stderr
        builds[name] = (copy / "dist").rename(copy / name)
    return builds
