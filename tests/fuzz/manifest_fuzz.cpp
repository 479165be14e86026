// libFuzzer target for the manifest parser, under AddressSanitizer and
// UndefinedBehaviorSanitizer. Besides not crashing, every parse must hold:
// each entry has a 32-byte digest and a non-empty path that stays inside the
// game folder, and parsing is line-local (two halves split after a line feed
// give the same entries as the whole).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"

bool operator==(const ManifestEntry& a, const ManifestEntry& b)
{
    return a.md5 == b.md5 && a.size == b.size && a.path == b.path;
}

namespace {

// Written apart from the parser's own rule so that the two can disagree.
bool StaysInside(const std::string& path)
{
    if (path.empty() || path[0] == '/' || path[0] == '\\')
        return false;
    if (path.find(':') != std::string::npos || path.find('\0') != std::string::npos)
        return false;
    std::string component;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            if (component == "..")
                return false;
            component.clear();
        } else {
            component += path[i];
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<ManifestEntry> entries = ParseManifest(text);
    for (const ManifestEntry& entry : entries) {
        if (entry.md5.size() != 32 || !StaysInside(entry.path))
            __builtin_trap();
    }

    const std::string::size_type cut = text.find('\n', size / 2);
    if (cut != std::string::npos) {
        std::vector<ManifestEntry> halves = ParseManifest(text.substr(0, cut + 1));
        const std::vector<ManifestEntry> second = ParseManifest(text.substr(cut + 1));
        halves.insert(halves.end(), second.begin(), second.end());
        if (!(halves == entries))
            __builtin_trap();
    }
    return 0;
}
