"""What several parts of the suite share: the release build, made as an
operator makes it."""

import datetime
import subprocess
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

REPO = Path(__file__).resolve().parents[1]


def code_signing_pfx(folder, password):
    """A throwaway CA (folder/ca.pem) and a code-signing certificate it
    issued, with its key, in folder/signer.pfx."""
    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, issuer, key, signing_key, ca):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=30))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if not ca:
            builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=False)
        return builder.sign(signing_key, hashes.SHA256())

    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Throwaway signing CA")])
    ca_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    ca = certificate(ca_name, ca_name, ca_key, ca_key, True)
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    signer = certificate(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Korvanth test signer")]), ca_name,
                         key, ca_key, False)
    (folder / "ca.pem").write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    (folder / "signer.pfx").write_bytes(pkcs12.serialize_key_and_certificates(
        b"signer", key, signer, [ca], serialization.BestAvailableEncryption(password.encode())))
    return folder / "signer.pfx", folder / "ca.pem"


def release(copy, **env):
    built = subprocess.run([str(copy / "scripts" / "release.sh")], capture_output=True, text=True,
                           env=dict(PATH="/usr/sbin:/usr/bin:/sbin:/bin", **env))
    assert built.returncode == 0, built.stderr
    return built.stdout


@pytest.fixture(scope="session")
def release_builds(tmp_path_factory):
    """scripts/release.sh run from two copies of the sources in folders of
    different names, then again from the second with a throwaway code-signing
    certificate: {"a", "b", "signed": their dist folders, "ca": the CA}."""
    sources = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    archive = subprocess.run(["tar", "-c", "-C", str(REPO), "--null", "-T", "-"], input=sources, check=True,
                             capture_output=True).stdout
    builds = {}
    for name in ["a", "b"]:
        copy = tmp_path_factory.mktemp("release-" + name * (1 if name == "a" else 12))
        subprocess.run(["tar", "-x", "-C", str(copy)], input=archive, check=True)
        release(copy)
        builds[name] = (copy / "dist").rename(copy / "unsigned")
    pfx, builds["ca"] = code_signing_pfx(tmp_path_factory.mktemp("signing"), "a pass phrase")
    assert "KorvanthUpdater.exe is signed" in release(copy, KORVANTH_SIGN_PFX=str(pfx),
                                                      KORVANTH_SIGN_PASSWORD="a pass phrase")
    builds["signed"] = copy / "dist"
    return builds
