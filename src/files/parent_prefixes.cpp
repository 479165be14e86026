// The folder prefixes of a path, kept free of platform calls so the rule
// builds and is checked natively.
#include "parent_dirs.h"

#include <algorithm>

std::vector<std::string> ListParentDirs(const std::string& path)
{
    std::string copy = path;
    std::replace(copy.begin(), copy.end(), '/', '\\');
    std::vector<std::string> prefixes;
    for (std::string::size_type i = 1; i < copy.size(); ++i) {
        if (copy[i] == '\\')
            prefixes.push_back(copy.substr(0, i));
    }
    return prefixes;
}
