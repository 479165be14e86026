// Manifest parser. Malformed lines are skipped silently rather than reported:
// a half-broken manifest must still update whatever it describes correctly,
// and a manifest with nothing usable is the caller's "invalid manifest" case.
// There is no limit on the number of lines or on the length of a line or
// field: a valid line is never dropped for its size. Each line is read in
// place; its digest and path are copied once, into the record, which is
// then moved into the list.
#include "manifest.h"

#include <cstdlib>
#include <string_view>
#include <utility>

#include "path_rules.h"

namespace {

std::string_view TrimLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    return line;
}

// strtoull semantics are part of the format (leading digits count, "-1" wraps,
// overflow saturates), so the field is handed to it as it stands.
std::uint64_t ReadSize(std::string_view field)
{
    return std::strtoull(std::string(field).c_str(), nullptr, 10);
}

}  // namespace

std::vector<ManifestEntry> ParseManifest(const std::string& text)
{
    std::vector<ManifestEntry> entries;
    const std::string_view all = text;
    std::string_view::size_type pos = 0;
    while (pos < all.size()) {
        std::string_view::size_type end = all.find('\n', pos);
        if (end == std::string_view::npos)
            end = all.size();
        const std::string_view line = TrimLineEnd(all.substr(pos, end - pos));
        pos = end + 1;

        if (line.empty() || line[0] == '#')
            continue;
        const std::string_view::size_type tab1 = line.find('\t');
        if (tab1 == std::string_view::npos)
            continue;
        const std::string_view::size_type tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos)
            continue;
        // A digest of 32 bytes and a path, or the line is malformed.
        if (tab1 != 32 || tab2 + 1 == line.size())
            continue;

        ManifestEntry entry;
        entry.md5 = line.substr(0, tab1);
        entry.size = ReadSize(line.substr(tab1 + 1, tab2 - tab1 - 1));
        entry.path = line.substr(tab2 + 1);
        if (!IsSafeRelativePath(entry.path))
            continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}
