// How the release tool writes one manifest line. The fuzz tests hold it to
// the updater's parser: every path the tool accepts must parse back as it is.
#pragma once

#include <cstdint>
#include <string>

// Digest text, size in decimal and path, separated by tabs, ended by LF.
std::string ManifestLine(const std::string& md5, std::uint64_t size, const std::string& path);
