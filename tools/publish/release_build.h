// Building a new release's files/ folder from a scanned release folder, at
// the cost of what changed: files the index still knows are hard links to the
// live release's copies, never read; every other file is copied and hashed in
// one read, on every core.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "release_index.h"
#include "release_scan.h"

// Marks the files whose index entry still holds and whose live copy (below
// liveFiles) is the very one the index recorded: unchanged, md5 and size
// filled. Reads nothing but stat. Returns how many.
std::size_t MarkUnchanged(std::vector<ReleaseFile>& files, const std::filesystem::path& liveFiles,
                          const ReleaseIndex& index);

struct BuildCounts {
    std::size_t copied = 0;  // new copies in the release
    std::size_t read = 0;    // files read (a copy that matched its live copy counts here only)
};

// Fills incoming/files (incoming must exist): unchanged files linked, the
// others copied from the release folder, with folders 0755 and files 0444 or 0555. A copy identical
// to the index's live copy, mode included, is replaced by a link to it. Each
// file ends with md5, size and unchanged set, and the stamp of the source as
// read. Shows progress on stderr when it is a terminal and not quiet. Exit
// code 0, or 2 with a message on stderr.
int BuildFiles(std::vector<ReleaseFile>& files, const std::filesystem::path& release,
               const std::filesystem::path& incoming, const std::filesystem::path& liveFiles,
               const ReleaseIndex& index, bool quiet, BuildCounts& counts);
