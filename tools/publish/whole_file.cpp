// Small files through stdio; the mode is set on the open file, where the
// umask cannot take anything away.
#include "whole_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

bool ReadWholeFile(const std::filesystem::path& path, std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        text.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok)
        errno = EIO;
    return ok;
}

bool WriteWholeFile(const std::filesystem::path& path, const std::string& text, unsigned mode)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = fchmod(fileno(file), mode) == 0 &&
              std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int reason = errno;
    ok = std::fclose(file) == 0 && ok;
    if (!ok && errno == 0)
        errno = reason;
    return ok;
}
