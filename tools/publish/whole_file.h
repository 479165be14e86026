// Reading and writing small files (manifests, the index, purge lists) in one
// piece. A file is replaced whole or not at all: its bytes go to a fresh
// temporary file beside it, renamed over it once written, so a reader never
// sees half of one and no link or other file planted under its name is
// written through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// False, with errno set, when path cannot be read whole: EFBIG when it holds
// more than limit bytes, EINVAL when it is not a regular file (a pipe or a
// device may never end). flags are added to open's (O_NOFOLLOW, say).
bool ReadWholeFile(const std::filesystem::path& path, std::string& text, std::uint64_t limit = UINT64_MAX,
                   int flags = 0);

// The file at path opened for reading when it is a regular file, without
// waiting on a pipe or a device; -1 with errno set otherwise (EINVAL when it
// is not a regular file).
int OpenRegularFile(const std::filesystem::path& path, int flags = 0);

// A file being replaced: the temporary file that will take path's place.
struct WholeFile {
    std::string path;
    std::string temporary;  // empty once renamed or abandoned
    int fd = -1;
};

// Makes the temporary file now, with exactly mode whatever the umask, so
// that a folder that cannot take it fails before anything else is done.
// False, with errno set, when it cannot be made, or when path is neither a
// regular file nor a symbolic link (EINVAL: a folder, a pipe, a device).
bool BeginWholeFile(const std::string& path, unsigned mode, WholeFile& file);

// Writes text and renames the temporary file to path, replacing whatever
// regular file or symbolic link is there (a link is replaced, never
// followed). False, with errno set, when it cannot; nothing is left behind.
bool CommitWholeFile(WholeFile& file, const std::string& text);

// Removes the temporary file of a file that is not to be written after all.
void AbandonWholeFile(WholeFile& file);

// Writes all of data to fd, through short writes and interruptions; false
// with errno set (EIO when a write took nothing) when it cannot.
bool WriteAll(int fd, const char* data, std::size_t length);

// BeginWholeFile and CommitWholeFile at once.
bool WriteWholeFile(const std::string& path, const std::string& text, unsigned mode);
