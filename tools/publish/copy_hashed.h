// Copying a release file into the server folder and hashing it in the same
// read, so that the digest and size in the manifest are those of the bytes
// written, whatever the source does meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "file_stamp.h"

struct CopiedFile {
    std::string md5;
    std::string sha256;  // when asked for
    std::uint64_t size = 0;
    FileStamp source;  // the source as it was opened, before any byte was read
};

// Copies what the descriptor in reads (and closes it) into target, a new
// file (it must not exist yet) made with PublishedMode whatever the umask;
// with an empty target, only hashes it. The SHA-256 is taken too when
// withSha256, in the same read. False with why (and target removed) when in
// is no regular file or the copy cannot be written.
bool CopyHashed(int in, const std::string& target, bool withSha256, CopiedFile& copied, std::string& why);
