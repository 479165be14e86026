// Streams a file through a fixed buffer (release files can be gigabytes);
// small texts are hashed where they are.
#include "file_md5.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <vector>

bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr)
        return false;
    bool ok = EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1;
    std::vector<char> buffer(1 << 20);
    std::uint64_t total = 0;
    while (ok && in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got > 0) {
            ok = EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(got)) == 1;
            total += static_cast<std::uint64_t>(got);
        }
    }
    if (ok && in.bad())
        ok = false;
    ok = ok && FinishMd5(context, digest);
    EVP_MD_CTX_free(context);
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
