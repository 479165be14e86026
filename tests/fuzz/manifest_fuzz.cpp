// libFuzzer target for the manifest parser, under AddressSanitizer and
// UndefinedBehaviorSanitizer. Besides not crashing, every parse must hold:
// each entry has a 32-byte digest and a non-empty path that stays inside the
// game folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"

namespace {

// Written apart from the parser's own rule so that the two can disagree.
bool StaysInside(const std::string& path)
{
    if (path.empty() || path[0] == '/' || path[0] == '\\' ||
        path.find_first_of(std::string(":\0", 2)) != std::string::npos)
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
    const std::vector<ManifestEntry> entries = ParseManifest(
        std::string(reinterpret_cast<const char*>(data), size));
    for (const ManifestEntry& entry : entries) {
        if (entry.md5.size() != 32 || !StaysInside(entry.path))
            __builtin_trap();
    }
    return 0;
}
