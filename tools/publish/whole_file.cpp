// Small files read and written through plain descriptors; the mode is set
// on the open file, where the umask cannot take anything away.
#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

int OpenRegularFile(const std::filesystem::path& path, int flags)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
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

bool ReadWholeFile(const std::filesystem::path& path, std::string& text, std::uint64_t limit, int flags)
{
    const int fd = OpenRegularFile(path, flags);
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

bool BeginWholeFile(const std::string& path, unsigned mode, WholeFile& file)
{
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Hidden, and named after the file, so that what a killed run leaves is
    // known for what it is.
    std::vector<char> temporary(folder.begin(), folder.end());
    const std::string tail = "." + name + ".XXXXXX";
    temporary.insert(temporary.end(), tail.begin(), tail.end());
    temporary.push_back('\0');
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    if (fchmod(fd, mode) != 0) {
        const int reason = errno;
        close(fd);
        unlink(temporary.data());
        errno = reason;
        return false;
    }
    file.path = path;
    file.temporary = temporary.data();
    file.fd = fd;
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool CommitWholeFile(WholeFile& file, const std::string& text)
{
    int reason = WriteAll(file.fd, text.data(), text.size()) ? 0 : errno;
    if (close(file.fd) != 0 && reason == 0)
        reason = errno;
    file.fd = -1;
    if (reason == 0 && rename(file.temporary.c_str(), file.path.c_str()) != 0)
        reason = errno;
    if (reason == 0) {
        file.temporary.clear();
        return true;
    }
    AbandonWholeFile(file);
    errno = reason;
    return false;
}

void AbandonWholeFile(WholeFile& file)
{
    if (file.fd >= 0)
        close(file.fd);
    file.fd = -1;
    if (!file.temporary.empty())
        unlink(file.temporary.c_str());
    file.temporary.clear();
}

bool WriteWholeFile(const std::string& path, const std::string& text, unsigned mode)
{
    WholeFile file;
    return BeginWholeFile(path, mode, file) && CommitWholeFile(file, text);
}
