// The files of a release folder, as the manifest will list them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "file_stamp.h"
#include "manifest.h"

struct ReleaseFile {
    std::string path;          // relative, '/' between folders, as the manifest lists it
    std::string source;        // where its bytes lie: below the release's root, no link on the way
    FileStamp stamp;           // the source as the scan found it
    bool trustedStamp = true;  // on a file system whose change times can be trusted
    bool hardLinked = false;   // it has other names too
    std::string md5;           // of the published copy, once known
    std::uint64_t size = 0;    // likewise
    std::string sha256;        // likewise, when the release is signed
    bool unchanged = false;    // published as a hard link to the live release's copy
};

// A scanned release. Everything read from it later is read below root, the
// release folder as it was resolved once at the start of the scan, so that
// a release path that is a link (a CI "latest") retargeted meanwhile cannot
// mix two builds.
struct ReleaseTree {
    int root = -1;  // an open descriptor of the release's root folder
    std::vector<ReleaseFile> files;
    std::string untrustedFileSystem;  // the kind of one file system whose change times cannot be trusted
};

// Every file below root, sorted by path, symbolic links followed and listed
// under their own names. The updater and update.url at the top are left out
// with a note. Nothing is read but folders and stat. False, with one message
// per problem on stderr, when a name is refused, a link dangles, loops or
// leads out of root, the manifest would pass MaxManifestBytes (its SHA-256
// lines and signature counted when signed), or nothing is left to publish.
bool ScanRelease(const std::filesystem::path& root, bool signing, ReleaseTree& tree);

// Opens path (relative, '/' between folders) for reading below the folder
// descriptor root, without following any symbolic link and without waiting
// on a pipe or a device: -1 with errno set (ELOOP or ENOTDIR where a link
// now stands) when it cannot.
int OpenBeneath(int root, const std::string& path);
