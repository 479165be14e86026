// Reading and writing small files (manifests, the index) in one piece.
#pragma once

#include <filesystem>
#include <string>

// False, with errno set, when path cannot be read whole.
bool ReadWholeFile(const std::filesystem::path& path, std::string& text);

// Replaces or creates path holding text, with exactly mode whatever the
// umask. False, with errno set, when it cannot be written whole.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& text, unsigned mode);
