// Small files through stdio; the mode is set on the open file, where the
// umask cannot take anything away.
#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int OpenRegularFile(const std::filesystem::path& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info;
    int reason = EINVAL;
    if (fstat(fd, &info) != 0)
        reason = errno;
    else if (S_ISREG(info.st_mode))
        return fd;
    close(fd);
    errno = reason;
    return -1;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& text, std::uint64_t limit)
{
    const int fd = OpenRegularFile(path);
    if (fd < 0)
        return false;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof(chunk))) > 0 || (got < 0 && errno == EINTR)) {
        if (got < 0)
            continue;
        if (text.size() + static_cast<std::uint64_t>(got) > limit) {
            got = -1;
            errno = EFBIG;
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    const int reason = errno;
    close(fd);
    errno = reason;
    return got == 0;
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
