// Whether a server serves exactly what its manifest lists, seen the way a
// player's updater sees it: from the server folder, or over HTTP(S).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "manifest.h"
#include "release_signing.h"

// How many problems a check lists before it only counts them.
const int MaxListedProblems = 100;

// What a check is given. Both the server checked and the origin are
// reached as a player's updater reaches them, and the whole check, the
// origin's manifest included, gives up at deadline.
struct CheckOptions {
    std::chrono::steady_clock::time_point deadline;
    bool quiet = false;
    // With keys, the manifest must be signed by one of them, and every file
    // have its signed SHA-256 too.
    std::vector<PublicKey> keys;
    std::string caFile;      // --cacert, for every URL of the check
    std::string origin;      // --origin: a server folder or a URL, or empty
    std::string originText;  // the origin's live manifest.txt, read first
};
const long DefaultCheckTimeoutSeconds = 3600;

// Exit codes: 0 when every listed file is served with its size and digest,
// 1 otherwise, each problem printed on stderr as it is found.
int CheckFolder(const std::filesystem::path& server, const CheckOptions& options);
int CheckUrl(const std::string& baseUrl, const CheckOptions& options);

// The live manifest.txt of a server folder (its live release, or the folder
// itself when it is a plain copy), with the folder it lies in, or of a
// server over HTTP(S), fetched as CheckUrl fetches it. False, with the
// reason on stderr.
bool ReadLiveManifest(const std::filesystem::path& server, std::filesystem::path& live, std::string& text);
bool FetchManifest(const std::string& baseUrl, const std::string& caFile,
                   std::chrono::steady_clock::time_point deadline, std::string& text);

// The problems of one check, printed as they are found: the first
// MaxListedProblems in full, the rest only counted.
struct Findings {
    int count = 0;
};

void Report(Findings& findings, const std::string& what, const std::string& problem);

// The exit code, after a last line for the problems left unlisted.
int Conclude(const Findings& findings);

// What a check makes of a manifest before its files.
struct ManifestReading {
    std::vector<ManifestEntry> entries;
    SignedDigests sha256;  // each path's SHA-256 to hold its file to; empty when none holds
    bool isSigned = false;
};

// Everything a check says of a manifest text before its files, each
// problem reported: the lines the updater would skip, which release it is
// and its signature (served_release.h), and, with an origin, whether it is
// the origin's live release (origin_check.h). The reading's views are into
// text.
ManifestReading ReadManifest(const std::string& text, const CheckOptions& options, Findings& findings);

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
