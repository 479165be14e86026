// Release rules. The updater's own parser is the first judge (a path it would
// drop is refused here, never silently published); the rest are Windows'
// naming rules, which a release built on Linux can break unnoticed.
#include "release_rules.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "manifest.h"
#include "path_rules.h"

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string WhyComponentRefused(const std::string& component)
{
    for (unsigned char c : component) {
        if (c < 32)
            return "holds a control character";
        if (std::string("<>:\"\\|?*").find(static_cast<char>(c)) != std::string::npos)
            return std::string("holds '") + static_cast<char>(c) + "', which Windows forbids in names";
    }
    if (!component.empty() && (component.back() == '.' || component.back() == ' '))
        return "has a name ending in a dot or a blank, which Windows drops";
    return "";
}

}  // namespace

std::string WhyRefused(const std::string& path)
{
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string why = WhyComponentRefused(path.substr(start, end - start));
        if (!why.empty())
            return why;
        start = end + 1;
    }
    if (!IsSafeRelativePath(path))
        return "is a path the updater refuses (a parent folder, a device name or a rooted path)";
    if (path.size() >= 5 && Lower(path.substr(path.size() - 5)) == ".kvdl")
        return "ends in .kvdl, the updater's temporary download suffix";
    // The manifest line must come back out of the updater's parser unchanged.
    const std::string line = std::string(32, '0') + "\t0\t" + path + "\n";
    const std::vector<ManifestEntry> parsed = ParseManifest(line);
    if (parsed.size() != 1 || parsed[0].path != path)
        return "does not survive the manifest format (a tab, line end or trailing blank)";
    return "";
}

std::vector<std::pair<std::string, std::string>> CaseCollisions(const std::vector<std::string>& paths)
{
    // Folders count too: a file "Maps" and a folder "maps" cannot live side by side.
    std::set<std::string> names;
    for (const std::string& path : paths) {
        for (std::string::size_type slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            names.insert(path.substr(0, slash));
        names.insert(path);
    }
    std::map<std::string, std::string> seen;
    std::vector<std::pair<std::string, std::string>> collisions;
    for (const std::string& name : names) {
        const auto inserted = seen.emplace(Lower(name), name);
        if (!inserted.second)
            collisions.emplace_back(inserted.first->second, name);
    }
    return collisions;
}
