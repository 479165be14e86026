// libFuzzer target for the signed manifest's check, with OpenSSL standing in
// for CryptoAPI: manifest bytes in, taken or not out. The seeds (the folder
// KORVANTH_FUZZ_SIGNED) are manifests signed with the key in
// KORVANTH_FUZZ_KEY, and they are all that may be taken: no mutation can
// carry a valid signature. Whatever the signed part's reading takes, which
// the fuzzer reaches on every input, must hold what an updater relies on
// (safe paths, one SHA-256 of 64 lower-case hex digits each, the release
// record, no dropped file among the entries) and read back the same once
// written again the way the release tool writes it.
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "manifest.h"
#include "path_rules.h"
#include "release_signing.h"
#include "signed_manifest.h"

namespace {

std::vector<PublicKey> LoadKey()
{
    std::vector<PublicKey> keys;
    const char* path = std::getenv("KORVANTH_FUZZ_KEY");
    if (path == nullptr || !LoadPublicKeys({path}, keys))
        std::abort();
    return keys;
}

std::set<std::string> LoadSigned()
{
    std::set<std::string> manifests;
    const char* folder = std::getenv("KORVANTH_FUZZ_SIGNED");
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(folder != nullptr ? folder : "", error)) {
        std::ifstream in(file.path(), std::ios::binary);
        manifests.insert(std::string(std::istreambuf_iterator<char>(in), {}));
    }
    if (manifests.empty())
        std::abort();
    return manifests;
}

bool SameEntry(const ManifestEntry& a, const ManifestEntry& b)
{
    return a.md5 == b.md5 && a.size == b.size && a.path == b.path;
}

// The release as the release tool would write it.
std::string Written(const SignedRelease& release)
{
    std::string text = ReleaseLine(release.serial) + ExpiresLine(release.expires);
    for (const ManifestEntry& e : release.entries)
        text += e.md5 + '\t' + std::to_string(e.size) + '\t' + e.path + '\n';
    for (const DroppedFile& d : release.dropped)
        text += DroppedLine(std::string(d.md5), std::string(d.path));
    for (const SignedDigest& d : release.digests)
        text += Sha256Line(std::string(d.sha256), std::string(d.path));
    return text;
}

void CheckTaken(const SignedRelease& release)
{
    std::set<std::string> paths;
    for (const ManifestEntry& e : release.entries) {
        const std::string_view* digest = FindSignedDigest(release.digests, e.path);
        if (e.md5.size() != 32 || !IsSafeRelativePath(e.path) || !paths.insert(e.path).second ||
            digest == nullptr || digest->size() != 64 ||
            digest->find_first_not_of("0123456789abcdef") != std::string_view::npos)
            __builtin_trap();
    }
    if (release.serial == 0 || paths.count(ReleaseRecordName) == 0 || release.digests.size() != paths.size())
        __builtin_trap();
    for (const DroppedFile& d : release.dropped) {
        if (paths.count(std::string(d.path)) != 0 || !IsSafeRelativePath(std::string(d.path)))
            __builtin_trap();
    }
    const std::string text = Written(release);
    SignedRelease again;
    if (!SignedEntries(text, again) || again.serial != release.serial || again.expires != release.expires ||
        again.entries.size() != release.entries.size() || again.dropped.size() != release.dropped.size())
        __builtin_trap();
    for (std::size_t i = 0; i < again.entries.size(); ++i) {
        if (!SameEntry(again.entries[i], release.entries[i]) ||
            *FindSignedDigest(again.digests, again.entries[i].path) !=
                *FindSignedDigest(release.digests, again.entries[i].path))
            __builtin_trap();
    }
    for (std::size_t i = 0; i < again.dropped.size(); ++i) {
        if (again.dropped[i].path != release.dropped[i].path ||
            again.dropped[i].md5 != release.dropped[i].md5)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::vector<PublicKey> keys = LoadKey();
    static const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    static const std::set<std::string> signedManifests = LoadSigned();
    const std::string text(reinterpret_cast<const char*>(data), size);
    SignedRelease release;
    // The signed part's reading, as if any signature held: no mutation gets
    // past the signature, so this is where the fuzzer reaches it.
    if (SignedEntries(text, release))
        CheckTaken(release);
    if (!CheckSignedManifest(text, views.data(), views.size(), VerifyWithOpenSsl, release))
        return 0;
    if (signedManifests.count(text) == 0)
        __builtin_trap();
    CheckTaken(release);
    return 0;
}
