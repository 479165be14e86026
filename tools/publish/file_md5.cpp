// Streams a file through a fixed buffer (release files can be gigabytes);
// small texts are hashed where they are.
#include "file_md5.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "whole_file.h"

bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size)
{
    const int fd = OpenRegularFile(path);
    if (fd < 0)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1;
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
        ok = EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(got)) == 1;
        total += static_cast<std::uint64_t>(got);
    }
    const int reason = errno;
    ok = ok && FinishMd5(context, digest);
    EVP_MD_CTX_free(context);
    close(fd);
    errno = reason;
    if (ok)
        size = total;
    return ok;
}

bool Md5OfText(const std::string& text, std::string& digest)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1 &&
                    EVP_DigestUpdate(context, text.data(), text.size()) == 1 && FinishMd5(context, digest);
    EVP_MD_CTX_free(context);
    return ok;
}

bool FinishMd5(EVP_MD_CTX* context, std::string& digest)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, value, &length) != 1 || length != 16)
        return false;
    char text[33];
    for (unsigned int i = 0; i < 16; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", value[i]);
    digest.assign(text, 32);
    return true;
}
