// libFuzzer target for the signed manifest's check, with OpenSSL standing in
// for CryptoAPI: manifest bytes in, taken or not out. The seeds (the folder
// KORVANTH_FUZZ_SIGNED) are manifests signed with the key in
// KORVANTH_FUZZ_KEY, and they are all that may be taken: no mutation can
// carry a valid signature. What is taken must read, to an updater built
// without keys, as the same entries, each with a SHA-256 of 64 lower-case
// hex digits.
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "manifest.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::vector<PublicKey> keys = LoadKey();
    static const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    static const std::set<std::string> signedManifests = LoadSigned();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ManifestEntry> entries;
    std::map<std::string, std::string> sha256;
    if (!CheckSignedManifest(text, views.data(), views.size(), VerifyWithOpenSsl, entries, sha256))
        return 0;
    const std::vector<ManifestEntry> plain = ParseManifest(text);
    if (signedManifests.count(text) == 0 || plain.size() != entries.size() || sha256.size() != entries.size())
        __builtin_trap();
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const std::string& digest = sha256[entries[i].path];
        if (!SameEntry(plain[i], entries[i]) || digest.size() != 64 ||
            digest.find_first_not_of("0123456789abcdef") != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
