// Reading and writing small files (manifests, the index) in one piece.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// False, with errno set, when path cannot be read whole: EFBIG when it holds
// more than limit bytes, EINVAL when it is not a regular file (a pipe or a
// device may never end).
bool ReadWholeFile(const std::filesystem::path& path, std::string& text, std::uint64_t limit = UINT64_MAX);

// The file at path opened for reading when it is a regular file, without
// waiting on a pipe or a device; -1 with errno set otherwise (EINVAL when it
// is not a regular file).
int OpenRegularFile(const std::filesystem::path& path);

// Replaces or creates path holding text, with exactly mode whatever the
// umask. False, with errno set, when it cannot be written whole.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& text, unsigned mode);
