// The files of a release folder, as the manifest will list them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "file_stamp.h"
#include "manifest.h"

struct ReleaseFile {
    std::string path;        // relative, '/' between folders; symbolic links are read through
    FileStamp stamp;         // the source as the scan found it
    std::string md5;         // of the published copy, once known
    std::uint64_t size = 0;  // likewise
    bool unchanged = false;  // published as a hard link to the live release's copy
};

// Every file below root, sorted by path, symbolic links followed and listed
// under their own names. The updater and update.url at the top are left out
// with a note. Nothing is read but folders and stat. False, with one message
// per problem on stderr, when a name is refused, a link dangles, loops or
// leads out of root, the manifest would pass MaxManifestBytes, or nothing is
// left to publish.
bool ScanRelease(const std::filesystem::path& root, std::vector<ReleaseFile>& files);
