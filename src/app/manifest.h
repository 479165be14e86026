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

// The longest manifest the updater takes. It holds the manifest in memory,
// and a list of a few lines per game file never comes near this; the release
// tool refuses to publish a longer one and its checks read no more.
const std::uint64_t MaxManifestBytes = 64ull << 20;

std::vector<ManifestEntry> ParseManifest(const std::string& text);
