// What tells a file's state without reading it: the fields stat gives that
// any write, rename over, chmod or link count change moves. The index keeps
// one for each source file and each published copy.
#pragma once

#include <sys/stat.h>

#include <cstdint>

struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t mode = 0;  // type and permission bits
    std::uint32_t owner = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
};

inline FileStamp StampOf(const struct stat& info)
{
    FileStamp s;
    s.device = info.st_dev;
    s.inode = info.st_ino;
    s.mode = info.st_mode;
    s.owner = info.st_uid;
    s.size = static_cast<std::uint64_t>(info.st_size);
    s.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return s;
}

inline bool operator==(const FileStamp& a, const FileStamp& b)
{
    return a.device == b.device && a.inode == b.inode && a.mode == b.mode && a.owner == b.owner &&
           a.size == b.size && a.mtimeNs == b.mtimeNs && a.ctimeNs == b.ctimeNs;
}

// Published files are read-only for everybody and executable when the source
// was: nothing else of the source's mode (setuid, group or world write) is
// ever carried over.
inline std::uint32_t PublishedMode(std::uint32_t sourceMode)
{
    return (sourceMode & 0111) != 0 ? 0555 : 0444;
}
