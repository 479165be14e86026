"""An operator builds the updater for their own server with one -D option
(configuring refuses a value that is not an https URL ending in '/'), and
ships it from the release build: the same bytes from any folder, signed on
request, with the release tool as a package."""

import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def configure(tmp_path, url, *options):
    return subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "b"), "-DKORVANTH_BUILD_TESTS=OFF",
         f"-DKORVANTH_DEFAULT_BASE_URL={url}", *options],
        capture_output=True, text=True)


@pytest.mark.parametrize("url", [
    "http://patch.example.com/korvanth/",
    "https://patch.example.com/korvanth",
    "patch.example.com/",
    'https://patch.example.com/"quoted"/',
    "https://patch.example.com/with blank/",
])
def test_refuses_what_is_not_an_https_url_ending_in_slash(tmp_path, url):
    result = configure(tmp_path, url)
    assert result.returncode != 0
    assert "KORVANTH_DEFAULT_BASE_URL must be an https URL ending in '/'" in result.stderr


# A private key built in would be in every player's hands, in whichever PEM form the studio keeps it (here
# made by openssl pkey from one key); a short key, or one of another kind, is no release key.
RSA = ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072"]


@pytest.mark.parametrize("made, form, pem, says", [
    (RSA, [], "BEGIN PRIVATE KEY", "is a private key"),
    (RSA, ["-traditional"], "BEGIN RSA PRIVATE KEY", "is a private key"),
    (RSA, ["-aes-256-cbc", "-passout", "pass:x"], "BEGIN ENCRYPTED PRIVATE KEY", "is a private key"),
    (RSA, ["-traditional", "-aes-256-cbc", "-passout", "pass:x"], "Proc-Type: 4,ENCRYPTED", "is a private key"),
    (["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"], ["-pubout"], "BEGIN PUBLIC KEY", "has 2048 bits"),
    (["-algorithm", "ED25519"], ["-pubout"], "BEGIN PUBLIC KEY",
     'is not an RSA key (openssl reads it as "ED25519 Public-Key:")'),
])
def test_refuses_release_keys_no_updater_should_hold(tmp_path, made, form, pem, says):
    key = tmp_path / "key.pem"
    subprocess.run(["openssl", "genpkey", *made, "-out", str(tmp_path / "made.pem")], check=True, capture_output=True)
    subprocess.run(["openssl", "pkey", "-in", str(tmp_path / "made.pem"), *form, "-out", str(key)], check=True)
    result = configure(tmp_path, "https://patch.example.com/", f"-DKORVANTH_RELEASE_KEYS={key}")
    assert pem in key.read_text() and result.returncode != 0 and says in " ".join(result.stderr.split()), result.stderr


@pytest.mark.parametrize("url", ["https://patch.example.com/", "https://cdn.example.net:8443/games/korvanth/"])
def test_builds_in_the_operators_url(tmp_path, url):
    result = configure(tmp_path, url)
    assert result.returncode == 0, result.stderr
    generated = (tmp_path / "b" / "generated" / "default_base_url.h").read_text()
    assert f'#define KORVANTH_DEFAULT_BASE_URL "{url}"' in generated


def test_release_builds_are_the_same_from_any_folder(release_builds):
    sums = [(release_builds[name] / "SHA256SUMS").read_text() for name in ["a", "b"]]
    assert sums[0] == sums[1]
    assert [line.split()[1] for line in sums[0].splitlines()] == [
        "KorvanthUpdater.exe", "korvanth-mirror", "korvanth-mirror-agent", "korvanth-mirror-store", "korvanth-nginx-conf",
        "korvanth-patch.conf", "korvanth-publish", "korvanth-publish_1.0.0_amd64.deb"]


def test_signed_release_verifies_and_is_the_same_build(release_builds, tmp_path):
    signed = release_builds["signed"] / "KorvanthUpdater.exe"
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(release_builds["ca"]), "-in", str(signed)],
                              capture_output=True, text=True)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(tmp_path / "bare.exe")],
                   check=True, capture_output=True)
    assert (tmp_path / "bare.exe").read_bytes() == (release_builds["a"] / "KorvanthUpdater.exe").read_bytes()


# Whatever fails, before the build or after it, or a run killed between the
# two renames that swap dist/ (where: the previous dist/ as that leaves it).
# A refused option is told in the configuration's own words alone.
@pytest.mark.parametrize("args, signing, says, where", [
    (["-DKORVANTH_DEFAULT_BASE_URL=http://patch.example.com/"], {}, "the options were refused", "dist"),
    (["-DKORVANTH_RELEASE_KEYS={key}"], {}, "release: release key {key} is a private key: only", "dist"),
    ([], {"KORVANTH_SIGN_PASSWORD": "not the pass phrase"}, "does not open with KORVANTH_SIGN_PASSWORD", "dist"),
    ([], {"KORVANTH_SIGN_PFX": "/nonexistent.pfx"}, "/nonexistent.pfx cannot be read", "dist"),
    ([], {"KORVANTH_SIGN_TIMESTAMP_URL": "http://127.0.0.1:9/"}, "signing failed", "dist"),
    (["-DKORVANTH_DEFAULT_BASE_URL=x"], {}, "the options were refused", "build/release-dist.previous"),
])
def test_a_failed_release_leaves_dist_as_it_was(release_builds, args, signing, says, where):
    copy = release_builds["a"].parent
    shutil.rmtree(copy / "dist", ignore_errors=True)
    (copy / where).mkdir()
    (copy / where / "KorvanthUpdater.exe").write_bytes(b"the release players have")
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "KORVANTH_SIGN_PFX": str(release_builds["pfx"]),
           "KORVANTH_SIGN_PASSWORD": "a pass phrase", **signing}
    key = release_builds["pfx"].parent / "key.pem"  # a private key
    args, says = [a.format(key=key) for a in args], says.format(key=key)

    result = subprocess.run([str(copy / "scripts" / "release.sh"), *args], capture_output=True, text=True, env=env)

    assert result.returncode != 0 and says in result.stderr and "dist/ is unchanged" in result.stderr, \
        result.stderr[-3000:]
    assert not args or len(result.stderr.splitlines()) == 2, result.stderr
    assert [p.name for p in (copy / "dist").iterdir()] == ["KorvanthUpdater.exe"]
    assert (copy / "dist" / "KorvanthUpdater.exe").read_bytes() == b"the release players have"
    assert not [p.name for p in (copy / "build").iterdir() if p.name.startswith(("release-dist", "release-check"))]


# dist/: the tools as shipped beside the package, run from there.
@pytest.mark.parametrize("way", ["package", "cmake --install", "dist"])
def test_release_tool_installs(release_builds, tmp_path, way):
    tools = release_builds["a"] if way == "dist" else tmp_path / "usr" / "bin"
    if way == "package":
        subprocess.run(["dpkg", "-x", str(release_builds["a"] / "korvanth-publish_1.0.0_amd64.deb"), str(tmp_path)],
                       check=True)
    elif way == "cmake --install":
        subprocess.run(["cmake", "--install", str(release_builds["b"].parent / "build" / "release-tool"),
                        "--prefix", str(tmp_path / "usr")], check=True, capture_output=True)
    helped = subprocess.run([str(tools / "korvanth-publish"), "--help"], capture_output=True, text=True)
    assert helped.returncode == 0 and helped.stdout.startswith("usage: korvanth-publish")
    # The mirror finds its agent and korvanth-publish beside it.
    (tmp_path / "release").mkdir()
    (tmp_path / "release" / "Korvanth.exe").write_bytes(b"MZ")
    subprocess.run([str(tools / "korvanth-publish"), "--quiet", str(tmp_path / "release"), str(tmp_path / "server")],
                   check=True)
    mirrored = subprocess.run([str(tools / "korvanth-mirror"), "--purge-list", str(tmp_path / "purge.txt"),
                               str(tmp_path / "server"), str(tmp_path / "mirror")], capture_output=True, text=True,
                              env={"PATH": "/usr/bin:/bin"})
    assert mirrored.returncode == 0 and (tmp_path / "purge.txt").read_text() == "manifest.txt\nfiles/Korvanth.exe\n", \
        mirrored.stderr
    # The filler finds the configuration beside it or installed, and fills in all of it.
    filled = subprocess.run([str(tools / "korvanth-nginx-conf"), *"--run /r --listen 443 --cert c "
                             "--key k --server /s".split()], capture_output=True, text=True, check=True).stdout
    assert "root /s/current;" in filled and not [line for line in filled.splitlines() if "@" in line.split("#")[0]]
