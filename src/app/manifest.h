// The patch server's file list: one record per valid manifest line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestEntry {
    std::string md5;     // digest exactly as written; only lower-case hex can match
    std::uint64_t size;  // bytes as written; feeds the KB figures only
    std::string path;    // relative to the game folder, '/' between folders
};

std::vector<ManifestEntry> ParseManifest(const std::string& text);
