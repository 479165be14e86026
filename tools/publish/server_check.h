// Whether a server serves exactly what its manifest lists, seen the way a
// player's updater sees it: from the server folder, or over HTTP(S).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest.h"

// Exit codes: 0 when every listed file is served with its size and digest,
// 1 with one line per problem on stderr otherwise.
int CheckFolder(const std::filesystem::path& server, bool quiet);
// The whole check of a URL gives up after timeoutSeconds.
int CheckUrl(const std::string& baseUrl, const std::string& caFile, long timeoutSeconds, bool quiet);
const long DefaultCheckTimeoutSeconds = 3600;

// The entries of a manifest text; each line the updater would skip is
// reported and counted in problems.
std::vector<ManifestEntry> ReadEntries(const std::string& text, int& problems);

// Empty when a served file matches its entry; otherwise what is wrong.
std::string CompareWithEntry(const ManifestEntry& entry, std::uint64_t size, const std::string& md5);
