"""Certificates for local HTTPS patch servers (the tests' and the demo's): a
CA that only their own Wine prefixes trust, a server certificate it signs for
localhost and 127.0.0.1, and a self-signed one that nobody trusts."""

import datetime
import ipaddress
import shutil
import tempfile
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _certificate(subject, issuer, key, signing_key, is_ca):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(_name(subject)).issuer_name(_name(issuer))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1))
               .not_valid_after(now + datetime.timedelta(days=3650))
               .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), critical=True))
    if not is_ca:
        builder = builder.add_extension(x509.SubjectAlternativeName(
            [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
            critical=False)
    return builder.sign(signing_key, hashes.SHA256())


def _write_pair(folder, stem, cert, key):
    (folder / f"{stem}.pem").write_bytes(
        cert.public_bytes(serialization.Encoding.PEM)
        + key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption()))


def _key():
    # RSA rather than ECDSA: Wine 8 rejects an ECDSA signature whose r or s
    # happens to be shorter than the curve (about one certificate set in a
    # hundred), which would fail HTTPS runs at random.
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def make_pki(folder: Path):
    """folder/ca.der and ca.pem, folder/trusted.pem and folder/untrusted.pem (cert + key)."""
    if (folder / "ca.pem").exists():
        return folder
    # Made beside it and renamed into place whole: test runs on two workers
    # may both come to make it.
    folder.parent.mkdir(parents=True, exist_ok=True)
    final, folder = folder, Path(tempfile.mkdtemp(prefix=folder.name + ".", dir=folder.parent))
    ca_key = _key()
    ca = _certificate("Korvanth test CA", "Korvanth test CA", ca_key, ca_key, True)
    server_key = _key()
    _write_pair(folder, "trusted", _certificate("localhost", "Korvanth test CA", server_key, ca_key, False),
                server_key)
    stranger_key = _key()
    _write_pair(folder, "untrusted",
                _certificate("localhost", "localhost", stranger_key, stranger_key, False), stranger_key)
    (folder / "ca.der").write_bytes(ca.public_bytes(serialization.Encoding.DER))
    (folder / "ca.pem").write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    try:
        folder.rename(final)
    except OSError:  # the other worker's came first: the same CA for both
        shutil.rmtree(folder)
    return final
