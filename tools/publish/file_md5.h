// MD5 of a file through OpenSSL's libcrypto, as lower-case hex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

bool Md5OfFile(const std::filesystem::path& path, std::string& digest, std::uint64_t& size);
