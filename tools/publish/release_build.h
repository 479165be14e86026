// Building a new release's files/ folder from a scanned release folder, at
// the cost of what changed: files the index still knows are hard links to the
// live release's copies, never read; every other file is copied and hashed in
// one read, on every core.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "manifest.h"
#include "release_index.h"
#include "signed_manifest.h"
#include "release_scan.h"

// What a new release is built against: the live release's copies, what the
// index knows of them, and what the live manifest lists.
struct LiveCopies {
    std::filesystem::path files;  // the live release's files/, empty when none is live
    ReleaseIndex index;
    std::unordered_map<std::string, ManifestEntry> listed;
    // When signing: the live manifest's SHA-256 lines, if its signature
    // checks with a key of the signer's. Only a digest found there, or
    // taken from the file itself, is ever signed again: the index alone
    // could be rewritten by anyone who can write the server folder.
    SignedDigests signedSha256;
};

// Marks the files whose index entry still holds and whose live copy is the
// very one the index recorded: unchanged, md5, size (and sha256, which the
// entry must then know, when withSha256) filled. Reads nothing but stat;
// with trustAll, takes the stamps of files on network and FUSE file systems
// too. Returns how many.
std::size_t MarkUnchanged(std::vector<ReleaseFile>& files, const LiveCopies& live, bool trustAll,
                          bool withSha256);

// The release files that are the live release's own copies under another
// name (a release folder made with cp -al): an edit to one would be an edit
// to what players get.
std::vector<std::string> SharedWithLive(const std::vector<ReleaseFile>& files, const LiveCopies& live);

struct BuildCounts {
    std::size_t copied = 0;  // new copies in the release
    std::size_t read = 0;    // files read (a copy that matched its live copy counts here only)
};

// Fills incoming/files (incoming must exist): unchanged files linked, the
// others read below the release's root where the scan found them and
// copied, with folders 0755 and files 0444 or 0555. A copy the live copy
// can stand for (same digest, size and mode: see LiveCopies) is replaced by
// a link to it. With an empty incoming, only reads: each file ends marked
// as the build would place it, and nothing is written. Each file ends with
// md5, size and unchanged set, and the stamp of the source as read. Shows
// progress on stderr when it is a terminal and not quiet. Exit code 0; 1,
// naming the file, when one is no longer the file the scan found (a link
// or another file now stands there); 2 with a message on stderr. withSha256:
// the files read get their SHA-256 too, in the same read.
int BuildFiles(ReleaseTree& tree, const std::filesystem::path& incoming, const LiveCopies& live,
               bool withSha256, bool quiet, BuildCounts& counts);
