// Streams a file through a fixed buffer (release files can be gigabytes);
// small texts are hashed where they are.
#include "file_md5.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "file_digest.h"
#include "whole_file.h"

bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size,
               std::string* sha256)
{
    const int fd = OpenRegularFile(path);
    if (fd < 0)
        return false;
    EVP_MD_CTX* md5 = EVP_MD_CTX_new();
    EVP_MD_CTX* sha = sha256 != nullptr ? EVP_MD_CTX_new() : nullptr;
    bool ok = md5 != nullptr && EVP_DigestInit_ex(md5, EVP_md5(), nullptr) == 1 &&
              (sha256 == nullptr || (sha != nullptr && EVP_DigestInit_ex(sha, EVP_sha256(), nullptr) == 1));
    std::vector<char> buffer(1 << 20);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ok ? read(fd, buffer.data(), buffer.size()) : 0;
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = ok && got == 0;
            break;
        }
        const std::size_t length = static_cast<std::size_t>(got);
        ok = EVP_DigestUpdate(md5, buffer.data(), length) == 1 &&
             (sha == nullptr || EVP_DigestUpdate(sha, buffer.data(), length) == 1);
        total += length;
    }
    const int reason = errno;
    ok = ok && FinishDigest(md5, digest) && (sha == nullptr || FinishDigest(sha, *sha256));
    EVP_MD_CTX_free(md5);
    EVP_MD_CTX_free(sha);
    close(fd);
    errno = reason;
    if (ok)
        size = total;
    return ok;
}

namespace {

bool DigestOfText(const EVP_MD* kind, const std::string& text, std::string& digest)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = context != nullptr && EVP_DigestInit_ex(context, kind, nullptr) == 1 &&
                    EVP_DigestUpdate(context, text.data(), text.size()) == 1 && FinishDigest(context, digest);
    EVP_MD_CTX_free(context);
    return ok;
}

}  // namespace

bool Md5OfText(const std::string& text, std::string& digest)
{
    return DigestOfText(EVP_md5(), text, digest);
}

bool Sha256OfText(const std::string& text, std::string& digest)
{
    return DigestOfText(EVP_sha256(), text, digest);
}

bool FinishDigest(EVP_MD_CTX* context, std::string& digest)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, value, &length) != 1)
        return false;
    DigestText(value, length, digest);
    return true;
}
