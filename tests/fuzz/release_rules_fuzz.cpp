// libFuzzer target holding the release tool to the updater's parser. Input:
// a size in decimal, a line feed, a path (no line feed: all of it is the
// path). Every path the tool accepts, written as the tool writes a manifest
// line between two others, parses back as exactly that entry and leaves its
// neighbours whole; every path the parser would skip, the tool refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest.h"
#include "manifest_line.h"
#include "path_rules.h"
#include "release_rules.h"

namespace {

const char Digest[] = "0123456789abcdef0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t length)
{
    const std::string input(reinterpret_cast<const char*>(data), length);
    const std::string::size_type newline = input.find('\n');
    const std::uint64_t size = newline == std::string::npos
                                   ? length
                                   : std::strtoull(input.substr(0, newline).c_str(), nullptr, 10);
    const std::string path = newline == std::string::npos ? input : input.substr(newline + 1);

    const bool accepted = WhyRefused(path).empty();
    if (WhyPathRefused(path) != NULL && accepted)
        __builtin_trap();
    if (!accepted)
        return 0;
    const std::vector<ManifestEntry> entries = ParseManifest(ManifestLine(Digest, 1, "before") +
                                                             ManifestLine(Digest, size, path) +
                                                             ManifestLine(Digest, 2, "after"));
    if (entries.size() != 3 || entries[0].path != "before" || entries[2].path != "after" ||
        entries[1].md5 != Digest || entries[1].size != size || entries[1].path != path)
        __builtin_trap();
    return 0;
}
