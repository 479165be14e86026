// Path rules kept apart from the Windows calls so they can be checked and
// fuzzed natively. A manifest comes from the network: the updater must never
// let one of its paths write, create or delete anything outside the game folder.
// They run for every manifest line, so they look at the path in place and
// allocate nothing.
#include "path_rules.h"

#include <algorithm>
#include <string_view>

namespace {

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

// ASCII only: what Windows folds in device names, and the same whatever
// the C library's locale.
char AsciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
        return false;
    for (std::string_view::size_type i = 0; i < text.size(); ++i) {
        if (AsciiUpper(text[i]) != upper[i])
            return false;
    }
    return true;
}

// Windows drops trailing dots and blanks from a name, so ". ." or ".. " may
// resolve like "..": refuse every component made of dots and blanks that
// holds two dots or more.
bool IsParentLike(std::string_view component)
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

const std::string_view DeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};

// CON, NUL, COM1 and the like name devices in every folder and with any
// extension; writing "to" them would not write a game file at all. Windows
// counts COM0, LPT0 and the superscript digits 1, 2 and 3 of the ANSI code
// page among them too.
bool IsDeviceName(std::string_view component)
{
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view name : DeviceNames) {
        if (EqualsIgnoringCase(base, name))
            return true;
    }
    if (base.size() != 4 ||
        (!EqualsIgnoringCase(base.substr(0, 3), "COM") && !EqualsIgnoringCase(base.substr(0, 3), "LPT")))
        return false;
    const unsigned char digit = static_cast<unsigned char>(base[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Entry x downloads into x.kvdl, and an updater that replaces itself moves
// its running file aside under a name ending in .kvold: a listed name of
// either kind would be overwritten with unchecked bytes, then deleted.
bool HasOwnSuffix(std::string_view path)
{
    for (const std::string_view suffix : {std::string_view(".KVDL"), std::string_view(".KVOLD")}) {
        if (path.size() >= suffix.size() &&
            EqualsIgnoringCase(path.substr(path.size() - suffix.size()), suffix))
            return true;
    }
    return false;
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
    if (IsSeparator(path[0]) || path.find(':') != std::string::npos)
        return "is rooted, drive-qualified or names a stream (':')";
    const std::string_view whole = path;
    std::string_view::size_type start = 0;
    while (start <= whole.size()) {
        std::string_view::size_type end = start;
        while (end < whole.size() && !IsSeparator(whole[end]))
            ++end;
        const std::string_view component = whole.substr(start, end - start);
        if (IsParentLike(component))
            return "climbs to a parent folder";
        if (IsDeviceName(component))
            return "names a Windows device (CON, NUL, COM1, LPT1, ...)";
        start = end + 1;
    }
    if (HasOwnSuffix(whole))
        return "ends in .kvdl (the updater's temporary download suffix) or .kvold (its own file moved aside)";
    return NULL;
}

bool IsSafeRelativePath(const std::string& path)
{
    return WhyPathRefused(path) == NULL;
}

std::string WindowsNameKey(std::string_view path)
{
    std::string key(path);
    for (char& c : key)
        c = c == '\\' ? '/' : AsciiUpper(c);
    return key;
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
