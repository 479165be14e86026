// MD5 of a file through OpenSSL's libcrypto, as lower-case hex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <openssl/evp.h>

// False, with errno set, when the file cannot be read whole; EINVAL for one
// that is not a regular file (a pipe or a device may never end).
bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size);

// The MD5 of text held in memory; false when the library fails.
bool Md5OfText(const std::string& text, std::string& digest);

// Ends an MD5 begun with EVP_DigestInit_ex and writes it as digest text;
// false when the library fails. The context is left for the caller to free.
bool FinishMd5(EVP_MD_CTX* context, std::string& digest);
