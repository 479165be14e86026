// libFuzzer target holding the release tool to the updater's parser, under
// AddressSanitizer and UndefinedBehaviorSanitizer. The input is a size in
// decimal, a line feed, and a path (without a line feed, all of it is the
// path). Two properties:
// - every path the release tool accepts, written as the tool writes a
//   manifest line, parses back as exactly that entry (path, digest, size),
//   between two other lines that stay as they are;
// - every path the updater's parser would skip is refused by the tool, so
//   no release can publish a file that players' updaters leave out.
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

bool SameEntry(const ManifestEntry& entry, const std::string& md5, std::uint64_t size,
               const std::string& path)
{
    return entry.md5 == md5 && entry.size == size && entry.path == path;
}

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
    if (entries.size() != 3 || !SameEntry(entries[0], Digest, 1, "before") ||
        !SameEntry(entries[1], Digest, size, path) || !SameEntry(entries[2], Digest, 2, "after"))
        __builtin_trap();
    return 0;
}
