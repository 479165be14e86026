"""What a player receives: the shipped 32-bit KorvanthUpdater.exe as a file.
A console program that runs on a bare Windows (only system DLLs imported),
with its icon, version block and an asInvoker manifest."""

import struct
from pathlib import Path

import pefile
import pytest

REPO = Path(__file__).resolve().parents[2]
SHIPPED = REPO / "build" / "i686" / "KorvanthUpdater.exe"
# Windows always takes these from its system folder; any other DLL would be
# looked for in the game folder first.
KNOWN_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"}
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24


@pytest.fixture(scope="module", params=["built", "signed release"])
def image(request):
    """The i686 build's updater, and the signed one of the release build:
    signing must leave everything a player's Windows looks at intact."""
    if request.param == "built":
        assert SHIPPED.exists(), "build the i686 tree first (scripts/build.sh)"
        return pefile.PE(str(SHIPPED))
    return pefile.PE(str(request.getfixturevalue("release_builds")["signed"] / "KorvanthUpdater.exe"))


def resources(image, type_id):
    """{resource id: bytes} of one resource type."""
    return {name.id: image.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            for entry in image.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == type_id
            for name in entry.directory.entries for lang in name.directory.entries}


def test_32_bit_console_image_importing_only_known_dlls(image):
    assert image.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE
    assert image.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert image.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
    imported = {entry.dll.decode().upper() for entry in image.DIRECTORY_ENTRY_IMPORT}
    assert imported == KNOWN_DLLS


def test_icon_has_16_32_48_and_256_pixels_in_32_bit_colour(image):
    groups = resources(image, RT_GROUP_ICON)
    assert len(groups) == 1
    group = next(iter(groups.values()))
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(struct.unpack_from("<H", group, 4)[0])]
    # Width and height 0 stand for 256; every image must be in the icon table.
    assert sorted((w or 256, h or 256, bits) for w, h, _, _, _, bits, _, _ in entries) == \
        [(16, 16, 32), (32, 32, 32), (48, 48, 32), (256, 256, 32)]
    assert {icon_id for *_, icon_id in entries} <= set(resources(image, RT_ICON))


def test_version_block(image):
    fixed = image.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) == \
        (0x00010000, 0, 0x00010000, 0)
    strings = {k.decode(): v.decode() for info in image.FileInfo[0] for table in getattr(info, "StringTable", [])
               for k, v in table.entries.items()}
    assert (strings["FileDescription"], strings["ProductName"], strings["FileVersion"], strings["ProductVersion"]) \
        == ("Korvanth Auto-Updater", "Korvanth", "1.0.0.0", "1.0.0.0")


def test_manifest_asks_for_no_elevation(image):
    manifests = resources(image, RT_MANIFEST)
    assert list(manifests) == [1]
    text = manifests[1].decode("utf-8")
    assert 'requestedExecutionLevel level="asInvoker"' in text
    assert "requireAdministrator" not in text and "highestAvailable" not in text
