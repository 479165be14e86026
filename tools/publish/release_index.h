// What the last publish learnt about the release folder's files, so that the
// next one knows the unchanged ones without reading them: for each path, the
// source's stamp when it was read, the digest of what was published, and the
// stamp of the published copy. Kept in SERVER_DIR/.publish-index, outside
// anything served.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>

#include "file_stamp.h"

struct IndexEntry {
    FileStamp source;
    FileStamp published;  // its size is the size in the manifest
    std::string md5;
    std::string sha256;  // empty when the release it was read for was not signed
};

struct ReleaseIndex {
    // When the publish that wrote it began reading (whole seconds of the
    // clock file times are taken from).
    std::int64_t startedSeconds = 0;
    std::unordered_map<std::string, IndexEntry> entries;
};

// The index of server; empty when there is none, and empty with a note on
// stderr when it is damaged, of another format or of another server folder,
// or (vouched not null) when its SHA-256 is not *vouched.
ReleaseIndex LoadIndex(const std::filesystem::path& server, const std::string* vouched = nullptr);

// Replaces the index whole, sha256 set to the SHA-256 of what was written;
// false, with a message on stderr, when it cannot.
bool SaveIndex(const std::filesystem::path& server, const ReleaseIndex& index, std::string& sha256);

// Whether entry still describes a source stamped so. A source changed within
// the second it was read can keep its stamp: it is read again.
bool StillClean(const ReleaseIndex& index, const IndexEntry& entry, const FileStamp& source);

// Now, in whole seconds of the clock the kernel stamps file times with.
std::int64_t FileClockSeconds();
