"""An operator builds the updater for their own server with one -D option;
configuring refuses a value that is not an https URL ending in '/'."""

import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def configure(tmp_path, url):
    return subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "b"), "-DKORVANTH_BUILD_TESTS=OFF",
         f"-DKORVANTH_DEFAULT_BASE_URL={url}"],
        capture_output=True, text=True)


@pytest.mark.parametrize("url", [
    "http://patch.example.com/korvanth/",
    "https://patch.example.com/korvanth",
    "https:///",
    "patch.example.com/",
    'https://patch.example.com/"quoted"/',
    "https://patch.example.com/with blank/",
])
def test_refuses_what_is_not_an_https_url_ending_in_slash(tmp_path, url):
    result = configure(tmp_path, url)
    assert result.returncode != 0
    assert "KORVANTH_DEFAULT_BASE_URL must be an https URL ending in '/'" in result.stderr


@pytest.mark.parametrize("url", ["https://patch.example.com/", "https://cdn.example.net:8443/games/korvanth/"])
def test_builds_in_the_operators_url(tmp_path, url):
    result = configure(tmp_path, url)
    assert result.returncode == 0, result.stderr
    generated = (tmp_path / "b" / "generated" / "default_base_url.h").read_text()
    assert f'#define KORVANTH_DEFAULT_BASE_URL "{url}"' in generated
