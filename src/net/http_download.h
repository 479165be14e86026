// One HTTP GET of a resource below the patch server's base URL, into memory
// or streamed into a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// filePath empty: the body is appended to *body (when not null). Otherwise
// the body goes to filePath, created anew only once the server answered 200,
// with a progress line when expectedSize is not 0. True when the status was
// 200 and the body was received (and written) to its end; in a file, a read
// that fails also ends the body, and the caller's digest check judges it.
//
// signedBody (an updater built with keys, in file mode): the body is read no
// further once it passes signedBody->maxSize bytes, and its SHA-256 is taken
// as it arrives into signedBody->sha256, left empty when the body passed its
// size or the digest could not be made.
struct SignedBody {
    std::uint64_t maxSize = 0;
    std::string sha256;
};

bool HttpDownload(const std::string& baseUrl, const std::string& relativePath, const std::string& filePath,
                  std::string* body, std::uint64_t expectedSize, SignedBody* signedBody = NULL);
