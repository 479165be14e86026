// Whether a server serves exactly what its manifest lists, seen the way a
// player's updater sees it: from the server folder, or over HTTP(S).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest.h"

// How many problems a check lists before it only counts them.
const int MaxListedProblems = 100;

// Exit codes: 0 when every listed file is served with its size and digest,
// 1 otherwise, each problem printed on stderr as it is found. Either check
// gives up after timeoutSeconds.
int CheckFolder(const std::filesystem::path& server, long timeoutSeconds, bool quiet);
int CheckUrl(const std::string& baseUrl, const std::string& caFile, long timeoutSeconds, bool quiet);
const long DefaultCheckTimeoutSeconds = 3600;

// The problems of one check, printed as they are found: the first
// MaxListedProblems in full, the rest only counted.
struct Findings {
    int count = 0;
};

void Report(Findings& findings, const std::string& what, const std::string& problem);

// The exit code, after a last line for the problems left unlisted.
int Conclude(const Findings& findings);

// The entries of a manifest text; each line the updater would skip is
// reported.
std::vector<ManifestEntry> ReadEntries(const std::string& text, Findings& findings);

// Empty when a served file matches its entry; otherwise what is wrong.
std::string CompareWithEntry(const ManifestEntry& entry, std::uint64_t size, const std::string& md5);

// The web server runs as a user of its own: it needs search access to every
// folder on the way and read access to the file, as "other". Empty when it
// has them; otherwise why not, the mode included.
std::string ModeProblem(const std::filesystem::path& path, bool isFile);

// What both kinds of check say of a manifest over MaxManifestBytes, and of
// a time limit that ran out after done of total files.
std::string TooLargeManifest();
std::string TimeLimitRanOut(std::size_t done, std::size_t total);
