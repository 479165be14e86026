// Release rules. The updater's own path rules come first (a path it would
// drop is refused here, never silently published), then the length players'
// Windows can take; the rest is what a round trip through nginx and the
// updater under Wine showed: every printable ASCII character arrives under
// its own name except '%' and the ones Windows forbids, and Windows changes
// names that end in a dot or a blank.
#include "release_rules.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "path_rules.h"

namespace {

// The updater takes a path of any length, but Windows takes at most 259
// characters for the names it opens: the game folder, a separator, the
// path and the ".kvdl" of the download. 200 bytes leave 53 for the game
// folder, enough for the usual places a game is installed; a longer path
// would fail to download on many players' machines, release after release.
const std::string::size_type MaxReleasePathLength = 200;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// NAME~1 and NAME~1.EXT are what Windows makes up as short names: on a
// player's disk such a name can stand for another, longer-named file.
bool LooksLikeShortName(const std::string& component)
{
    const std::string base = component.substr(0, component.find('.'));
    const std::string::size_type tilde = base.rfind('~');
    return tilde != std::string::npos && tilde + 1 < base.size() &&
           std::all_of(base.begin() + static_cast<std::ptrdiff_t>(tilde) + 1, base.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string WhyComponentRefused(const std::string& component)
{
    for (unsigned char c : component) {
        if (c >= 0x80)
            return "holds a non-ASCII character: the updater reads names in the player's ANSI code page, "
                   "which differs from one Windows to another, so it would ask for and write another name";
        if (std::string("<>\"\\|?*").find(static_cast<char>(c)) != std::string::npos)
            return std::string("holds '") + static_cast<char>(c) + "', which Windows forbids in names";
        if (c == '%')
            return "holds '%', which the web server reads as the start of an escape: the updater would "
                   "ask for another name";
    }
    if (!component.empty() && (component.back() == '.' || component.back() == ' '))
        return "has a name ending in a dot or a blank, which Windows drops";
    if (LooksLikeShortName(component))
        return "has a name shaped like a Windows short name (NAME~1), which on a player's disk can "
               "stand for another file";
    return "";
}

}  // namespace

std::string WhyRefused(const std::string& path)
{
    const char* unsafe = WhyPathRefused(path);
    if (unsafe != NULL)
        return unsafe;
    if (path.size() > MaxReleasePathLength)
        return "is longer than 200 bytes, too long for Windows once a player's game folder is in front";
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
