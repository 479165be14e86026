// Digests of files and texts through OpenSSL's libcrypto, as lower-case hex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <openssl/evp.h>

// The MD5 of the file at path, and its SHA-256 too when sha256 is not null,
// in one read. False, with errno set, when the file cannot be read whole;
// EINVAL for one that is not a regular file (a pipe or a device may never
// end).
bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size,
               std::string* sha256 = nullptr);

// The MD5 (or SHA-256) of text held in memory; false when the library fails.
bool Md5OfText(const std::string& text, std::string& digest);
bool Sha256OfText(const std::string& text, std::string& digest);

// Ends a digest begun with EVP_DigestInit_ex and writes it as hex; false
// when the library fails. The context is left for the caller to free.
bool FinishDigest(EVP_MD_CTX* context, std::string& digest);
