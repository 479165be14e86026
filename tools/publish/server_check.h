// Whether a server serves exactly what its manifest lists, seen the way a
// player's updater sees it: from the server folder, or over HTTP(S).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "manifest.h"
#include "release_signing.h"

// How many problems a check lists before it only counts them.
const int MaxListedProblems = 100;

// Exit codes: 0 when every listed file is served with its size and digest,
// 1 otherwise, each problem printed on stderr as it is found. Either check
// gives up after timeoutSeconds.
// With keys, the manifest must be signed by one of them, and every file have
// its signed SHA-256 too.
int CheckFolder(const std::filesystem::path& server, long timeoutSeconds, bool quiet,
                const std::vector<PublicKey>& keys);
int CheckUrl(const std::string& baseUrl, const std::string& caFile, long timeoutSeconds, bool quiet,
             const std::vector<PublicKey>& keys);
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
// reported. With keys, the signature too: sha256 then holds each path's
// signed SHA-256, or nothing when the signature does not hold.
std::vector<ManifestEntry> ReadEntries(const std::string& text, const std::vector<PublicKey>& keys,
                                       Findings& findings, SignedDigests& sha256);

// The signed SHA-256 of path in sha256 (see ReadEntries), or null when there
// is none to check.
const std::string_view* SignedSha256(const SignedDigests& sha256, const std::string& path);

// Empty when a served file matches its entry (and, when one is given, its
// signed SHA-256); otherwise what is wrong.
std::string CompareWithEntry(const ManifestEntry& entry, std::uint64_t size, const std::string& md5,
                             const std::string& sha256, const std::string_view* signedSha256);

// The web server runs as a user of its own: it needs search access to every
// folder on the way and read access to the file, as "other". Empty when it
// has them; otherwise why not, the mode included.
std::string ModeProblem(const std::filesystem::path& path, bool isFile);

// What both kinds of check say of a manifest over MaxManifestBytes, and of
// a time limit that ran out after done of total files.
std::string TooLargeManifest();
std::string TimeLimitRanOut(std::size_t done, std::size_t total);
