// Manifest parser. Malformed lines are skipped silently rather than reported:
// a half-broken manifest must still update whatever it describes correctly,
// and a manifest with nothing usable is the caller's "invalid manifest" case.
#include "manifest.h"

#include <cstdlib>

#include "path_rules.h"

namespace {

void TrimLineEnd(std::string& line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
}

// strtoull semantics are part of the format (leading digits count, "-1" wraps,
// overflow saturates), so the field is handed to it as it stands.
std::uint64_t ReadSize(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

std::vector<ManifestEntry> ParseManifest(const std::string& text)
{
    std::vector<ManifestEntry> entries;
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;

        TrimLineEnd(line);
        if (line.empty() || line[0] == '#')
            continue;
        const std::string::size_type tab1 = line.find('\t');
        if (tab1 == std::string::npos)
            continue;
        const std::string::size_type tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos)
            continue;

        ManifestEntry entry;
        entry.md5 = line.substr(0, tab1);
        entry.size = ReadSize(line.substr(tab1 + 1, tab2 - tab1 - 1));
        entry.path = line.substr(tab2 + 1);
        if (entry.md5.size() != 32 || entry.path.empty())
            continue;
        if (!IsSafeRelativePath(entry.path))
            continue;
        entries.push_back(entry);
    }
    return entries;
}
