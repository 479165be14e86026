// The files of a release folder, as the manifest will list them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ReleaseFile {
    std::string path;              // relative, '/' between folders
    std::filesystem::path source;  // where it was found; a symbolic link is read through
    std::string md5;               // filled by HashRelease
    std::uint64_t size;
};

// Every file below root, sorted by path, symbolic links followed and listed
// under their own names. The updater and update.url at the top are left out
// with a note. False, with one message per problem on stderr, when a name is
// refused, a link dangles or loops, or nothing is left to publish.
bool ScanRelease(const std::filesystem::path& root, std::vector<ReleaseFile>& files);

// Fills md5 and size of every file; false, naming the file, when one cannot be read.
bool HashRelease(std::vector<ReleaseFile>& files);
