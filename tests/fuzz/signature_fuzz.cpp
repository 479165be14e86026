// libFuzzer target for the signed manifest's check, with OpenSSL standing in
// for CryptoAPI: manifest bytes in, taken or not out. The seeds (the folder
// KORVANTH_FUZZ_SIGNED) are manifests signed with the key in
// KORVANTH_FUZZ_KEY, and they are all that may be taken: no mutation can
// carry a valid signature. What is taken must read, to an updater built
// without keys, as the same entries, each with a SHA-256 of 64 lower-case
// hex digits; and so must whatever the signed part's own reading takes,
// which the fuzzer reaches on every input.
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

// What is taken must read, to an updater built without keys, as the same
// entries, each with a SHA-256 of 64 lower-case hex digits of its own.
void CheckTaken(const std::string& text, const std::vector<ManifestEntry>& entries,
                const SignedDigests& digests)
{
    const std::vector<ManifestEntry> plain = ParseManifest(text);
    if (entries.empty() || plain.size() != entries.size() || digests.size() != entries.size())
        __builtin_trap();
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const std::string_view* digest = FindSignedDigest(digests, entries[i].path);
        if (!SameEntry(plain[i], entries[i]) || digest == nullptr || digest->size() != 64 ||
            digest->find_first_not_of("0123456789abcdef") != std::string_view::npos)
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
    std::vector<ManifestEntry> entries;
    SignedDigests digests;
    // The signed part's reading, as if any signature held: no mutation gets
    // past the signature, so this is where the fuzzer reaches it.
    if (SignedEntries(text, entries, digests))
        CheckTaken(text, entries, digests);
    if (!CheckSignedManifest(text, views.data(), views.size(), VerifyWithOpenSsl, entries, digests))
        return 0;
    if (signedManifests.count(text) == 0)
        __builtin_trap();
    CheckTaken(text, entries, digests);
    return 0;
}
