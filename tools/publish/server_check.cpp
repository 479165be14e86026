// Checking a server folder: the live release, or a plain copy of one. Root
// reads every file, the web server does not: modes that keep it out are
// problems of their own.
#include "server_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <utility>

#include "file_md5.h"
#include "shown_text.h"
#include "utc_time.h"
#include "server_layout.h"
#include "whole_file.h"

namespace fs = std::filesystem;

typedef std::chrono::steady_clock Clock;

namespace {

// What a failed read of a served file means to a player.
std::string WhyUnread(int reason, const char* missing)
{
    if (reason == ENOENT)
        return missing;
    if (reason == EFBIG)
        return TooLargeManifest();
    if (reason == EINVAL)
        return "not a regular file: a web server serves nothing sensible for it";
    return std::strerror(reason);
}

// The folders from the server folder down to the live release's files/.
std::vector<fs::path> ServedFolders(const fs::path& server, const fs::path& live)
{
    std::error_code error;
    const fs::path top = fs::canonical(server, error);
    const fs::path bottom = fs::canonical(live / "files", error);
    std::vector<fs::path> folders;
    if (error)
        return folders;
    fs::path at = top;
    folders.push_back(at);
    for (const fs::path& part : bottom.lexically_relative(top)) {
        at /= part;
        folders.push_back(at);
    }
    return folders;
}

// The first folder below files/, or the file itself, closed to the web
// server: where, and why. Where is empty when nothing is closed.
std::pair<fs::path, std::string> ClosedOnTheWay(const fs::path& files, const std::string& path)
{
    for (std::string::size_type slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const fs::path folder = files / path.substr(0, slash);
        const std::string problem = ModeProblem(folder, false);
        if (!problem.empty())
            return std::make_pair(folder, problem);
    }
    const std::string problem = ModeProblem(files / path, true);
    return std::make_pair(problem.empty() ? fs::path() : files / path, problem);
}

}  // namespace

std::string ModeProblem(const fs::path& path, bool isFile)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return std::strerror(errno);
    if ((info.st_mode & (isFile ? S_IROTH : S_IXOTH)) != 0)
        return "";
    char text[80];
    std::snprintf(text, sizeof(text), "mode %04o: the web server, another user, cannot read %s",
                  static_cast<unsigned>(info.st_mode & 07777), isFile ? "it" : "below it");
    return text;
}

std::string TooLargeManifest()
{
    return "larger than 64 MiB: players' updaters refuse it";
}

std::string TimeLimitRanOut(std::size_t done, std::size_t total)
{
    return "the check's time limit (--timeout) ran out after " + std::to_string(done) + " of " +
           std::to_string(total) + " files";
}

void Report(Findings& findings, const std::string& what, const std::string& problem)
{
    if (++findings.count <= MaxListedProblems)
        std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(what).c_str(), Shown(problem).c_str());
}

int Conclude(const Findings& findings)
{
    if (findings.count > MaxListedProblems)
        std::fprintf(stderr, "korvanth-publish: %d problems in all, the first %d listed\n", findings.count,
                     MaxListedProblems);
    return findings.count > 0 ? 1 : 0;
}

namespace {

// With keys: whether text is signed by one of them, with a SHA-256 for every
// entry; each reason it is not is reported.
void CheckSignature(const std::string& text, const std::vector<PublicKey>& keys, Findings& findings,
                    SignedDigests& sha256)
{
    const int before = findings.count;
    SignedParts parts;
    SignedRelease release;
    std::string ids;
    for (const PublicKey& key : keys)
        ids += (ids.empty() ? "" : ", ") + key.id;
    const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    if (!SplitSignature(text, parts))
        Report(findings, "manifest.txt",
               "not signed (no signature line at its end): updaters built with release keys refuse it");
    else if (ids.find(parts.keyId) == std::string::npos)
        Report(findings, "manifest.txt",
               "signed by key " + parts.keyId + ", none of the keys given (" + ids +
                   "): updaters built with those refuse it");
    else if (!CheckSignedManifest(text, views.data(), views.size(), VerifyWithOpenSsl, release))
        Report(findings, "manifest.txt",
               SignedEntries(parts.signedText, release)
                   ? "its signature by key " + parts.keyId +
                         " does not match its bytes: changed after it was signed"
                   : "signed, but not in the form updaters built with release keys take (a serial, an "
                     "expiry, the release record, one SHA-256 line for every file)");
    else if (release.expires <= std::time(nullptr))
        Report(findings, "manifest.txt",
               "its signature ran out at " + UtcTimeText(release.expires) +
                   ": updaters built with release keys refuse it (sign it again: korvanth-publish --resign)");
    sha256 = findings.count == before ? release.digests : SignedDigests();
}

}  // namespace

std::vector<ManifestEntry> ReadEntries(const std::string& text, const std::vector<PublicKey>& keys,
                                       Findings& findings, SignedDigests& sha256)
{
    std::vector<ManifestEntry> entries;
    std::istringstream lines(text);
    std::string line;
    const int before = findings.count;
    if (!keys.empty())
        CheckSignature(text, keys, findings, sha256);
    for (std::size_t number = 1; std::getline(lines, line); ++number) {
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' '))
            trimmed.pop_back();
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        std::vector<ManifestEntry> parsed = ParseManifest(line);
        if (parsed.size() != 1) {
            Report(findings, "manifest.txt line " + std::to_string(number), "the updater would skip it");
            continue;
        }
        entries.push_back(std::move(parsed[0]));
    }
    if (entries.empty() && findings.count == before)
        Report(findings, "manifest.txt", "lists no file: players get \"Manifest vacio o invalido\"");
    return entries;
}

std::string CompareWithEntry(const ManifestEntry& entry, std::uint64_t size, const std::string& md5,
                             const std::string& sha256, const std::string_view* signedSha256)
{
    char text[200];
    if (size != entry.size)
        std::snprintf(text, sizeof(text), "%llu bytes, manifest says %llu",
                      static_cast<unsigned long long>(size), static_cast<unsigned long long>(entry.size));
    else if (md5 != entry.md5)
        std::snprintf(text, sizeof(text), "digest %s, manifest says %s", md5.c_str(), entry.md5.c_str());
    else if (signedSha256 != nullptr && sha256 != *signedSha256)
        std::snprintf(text, sizeof(text), "SHA-256 %s, the signed manifest says %s", sha256.c_str(),
                      std::string(*signedSha256).c_str());
    else
        return "";
    return text;
}

const std::string_view* SignedSha256(const SignedDigests& sha256, const std::string& path)
{
    return FindSignedDigest(sha256, path);
}

int CheckFolder(const fs::path& server, long timeoutSeconds, bool quiet, const std::vector<PublicKey>& keys)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    // Resolved once: a publish or rollback during the check must not make
    // it compare one release's files with another's manifest.
    std::error_code error;
    const fs::path live = fs::canonical(LiveFolder(server), error);
    std::string text;
    if (error || !ReadWholeFile(live / "manifest.txt", text, MaxManifestBytes)) {
        const int reason = error ? error.value() : errno;
        std::fprintf(stderr, "korvanth-publish: %s: %s\n",
                     Shown((LiveFolder(server) / "manifest.txt").string()).c_str(),
                     WhyUnread(reason, "no manifest.txt: no release is live here").c_str());
        return 1;
    }
    Findings findings;
    for (const fs::path& folder : ServedFolders(server, live)) {
        const std::string problem = ModeProblem(folder, false);
        if (!problem.empty())
            Report(findings, folder.string(), problem);
    }
    const std::string manifestProblem = ModeProblem(live / "manifest.txt", true);
    if (!manifestProblem.empty())
        Report(findings, "manifest.txt", manifestProblem);
    SignedDigests sha256;
    const std::vector<ManifestEntry> entries = ReadEntries(text, keys, findings, sha256);
    // A closed folder is told once, not once for every file below it.
    std::set<fs::path> closed;
    std::size_t done = 0;
    for (; done < entries.size() && Clock::now() < deadline; ++done) {
        const ManifestEntry& e = entries[done];
        std::string md5, sha;
        std::uint64_t size = 0;
        const std::string_view* signedSha256 = SignedSha256(sha256, e.path);
        const bool read = Md5OfFile(live / "files" / e.path, md5, size,
                                    signedSha256 != nullptr ? &sha : nullptr);
        const std::string problem = read ? CompareWithEntry(e, size, md5, sha, signedSha256)
                                         : WhyUnread(errno, "missing from files/");
        if (!problem.empty()) {
            Report(findings, e.path, problem);
            continue;
        }
        const std::pair<fs::path, std::string> shut = ClosedOnTheWay(live / "files", e.path);
        if (!shut.first.empty() && closed.insert(shut.first).second)
            Report(findings, shut.first == live / "files" / e.path ? e.path : shut.first.string(),
                   shut.second);
    }
    if (done < entries.size())
        Report(findings, server.string(), TimeLimitRanOut(done, entries.size()));
    if (findings.count == 0 && !quiet)
        std::printf("ok: %zu files\n", entries.size());
    return Conclude(findings);
}
