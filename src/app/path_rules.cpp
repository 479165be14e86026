// Path rules kept apart from the Windows calls so they can be checked and
// fuzzed natively. A manifest comes from the network: the updater must never
// let one of its paths write, create or delete anything outside the game folder.
#include "path_rules.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Windows drops trailing dots and blanks from a name, so ". ." or ".. " may
// resolve like "..": refuse every component made of dots and blanks that
// holds two dots or more.
bool IsParentLike(const std::string& component)
{
    int dots = 0;
    for (char c : component) {
        if (c == '.')
            ++dots;
        else if (c != ' ')
            return false;
    }
    return dots >= 2;
}

// CON, NUL, COM1 and the like name devices in every folder and with any
// extension; writing "to" them would not write a game file at all.
bool IsDeviceName(const std::string& component)
{
    std::string base;
    for (char c : component) {
        if (c == '.')
            break;
        base += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

bool IsSafeRelativePath(const std::string& path)
{
    // A NUL would cut the name short at the Windows call, past every check here.
    if (path.empty() || IsSeparator(path[0]) || path.find(':') != std::string::npos ||
        path.find('\0') != std::string::npos)
        return false;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = start;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        const std::string component = path.substr(start, end - start);
        if (IsParentLike(component) || IsDeviceName(component))
            return false;
        start = end + 1;
    }
    return true;
}

std::string ToLocalPath(const std::string& manifestPath)
{
    std::string local = manifestPath;
    std::replace(local.begin(), local.end(), '/', '\\');
    return local;
}

std::string FolderOfPath(const std::string& modulePath)
{
    const std::string::size_type last = modulePath.find_last_of("\\/");
    if (last == std::string::npos)
        return modulePath;
    // "C:" alone would mean the drive's current folder, not its root.
    if (last == 2 && modulePath[1] == ':')
        return modulePath.substr(0, 3);
    return modulePath.substr(0, last);
}
