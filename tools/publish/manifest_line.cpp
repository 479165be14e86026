// One manifest line, written the one way the release tool writes them.
#include "manifest_line.h"

std::string ManifestLine(const std::string& md5, std::uint64_t size, const std::string& path)
{
    return md5 + '\t' + std::to_string(size) + '\t' + path + '\n';
}
