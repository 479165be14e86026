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
// extension; writing "to" them would not write a game file at all. Windows
// counts COM0, LPT0 and the superscript digits 1, 2 and 3 of the ANSI code
// page among them too.
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
    if (base.size() != 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
        return false;
    const unsigned char digit = static_cast<unsigned char>(base[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Entry x downloads into x.kvdl: a listed x.kvdl would be overwritten with
// unchecked bytes, then deleted.
bool HasTempSuffix(const std::string& path)
{
    const char suffix[] = ".kvdl";
    const std::string::size_type length = sizeof(suffix) - 1;
    if (path.size() < length)
        return false;
    for (std::string::size_type i = 0; i < length; ++i) {
        const char c = static_cast<char>(
            std::tolower(static_cast<unsigned char>(path[path.size() - length + i])));
        if (c != suffix[i])
            return false;
    }
    return true;
}

}  // namespace

const char* WhyPathRefused(const std::string& path)
{
    if (path.empty())
        return "is empty";
    // Windows forbids them in names; printed in the counter line they could
    // forge console lines. NUL is one: the Windows call would stop there,
    // past every check below.
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F)
            return "holds a control character";
    }
    if (path.size() > MaxManifestPathLength)
        return "is longer than 200 bytes, too long for Windows once the game folder is in front";
    if (IsSeparator(path[0]) || path.find(':') != std::string::npos)
        return "is rooted, drive-qualified or names a stream (':')";
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = start;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        const std::string component = path.substr(start, end - start);
        if (IsParentLike(component))
            return "climbs to a parent folder";
        if (IsDeviceName(component))
            return "names a Windows device (CON, NUL, COM1, LPT1, ...)";
        start = end + 1;
    }
    if (HasTempSuffix(path))
        return "ends in .kvdl, the updater's temporary download suffix";
    return NULL;
}

bool IsSafeRelativePath(const std::string& path)
{
    return WhyPathRefused(path) == NULL;
}

std::string ToLocalPath(const std::string& manifestPath)
{
    std::string local = manifestPath;
    std::replace(local.begin(), local.end(), '/', '\\');
    return local;
}

std::wstring StripFileName(const std::wstring& modulePath)
{
    const std::wstring::size_type last = modulePath.find_last_of(L"\\/");
    if (last == std::wstring::npos)
        return modulePath;
    // "C:" alone would mean the drive's current folder, not its root.
    if (last == 2 && modulePath[1] == L':')
        return modulePath.substr(0, 3);
    return modulePath.substr(0, last);
}
