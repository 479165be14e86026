// Checking a server folder: the live release, or a plain copy of one. Root
// reads every file, the web server does not: modes that keep it out are
// problems of their own.
#include "server_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <utility>

#include "carried_updater.h"
#include "file_md5.h"
#include "origin_check.h"
#include "served_release.h"
#include "shown_text.h"
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
    // What went to standard output before stays before, in a log of both.
    std::fflush(stdout);
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

ManifestReading ReadManifest(const std::string& text, const CheckOptions& options, Findings& findings)
{
    ManifestReading reading;
    const int before = findings.count;
    const ServedRelease served = ReadServedRelease(text);
    reading.isSigned = served.isSigned;
    reading.sha256 = CheckServedRelease(text, served, options, findings);
    if (!options.origin.empty())
        CompareWithOrigin(served, options, findings);
    std::istringstream lines(text);
    std::string line;
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
        reading.entries.push_back(std::move(parsed[0]));
    }
    if (reading.entries.empty() && findings.count == before)
        Report(findings, "manifest.txt", "lists no file: players get \"Manifest vacio o invalido\"");
    return reading;
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

bool ReadLiveManifest(const fs::path& server, fs::path& live, std::string& text)
{
    // Resolved once: a publish or rollback during the check must not make
    // it compare one release's files with another's manifest.
    std::error_code error;
    live = fs::canonical(LiveFolder(server), error);
    if (!error && ReadWholeFile(live / "manifest.txt", text, MaxManifestBytes))
        return true;
    const int reason = error ? error.value() : errno;
    std::fprintf(stderr, "korvanth-publish: %s: %s\n",
                 Shown((LiveFolder(server) / "manifest.txt").string()).c_str(),
                 WhyUnread(reason, "no manifest.txt: no release is live here").c_str());
    return false;
}

int CheckFolder(const fs::path& server, const CheckOptions& options)
{
    fs::path live;
    std::string text;
    if (!ReadLiveManifest(server, live, text))
        return 1;
    Findings findings;
    for (const fs::path& folder : ServedFolders(server, live)) {
        const std::string problem = ModeProblem(folder, false);
        if (!problem.empty())
            Report(findings, folder.string(), problem);
    }
    const std::string manifestProblem = ModeProblem(live / "manifest.txt", true);
    if (!manifestProblem.empty())
        Report(findings, "manifest.txt", manifestProblem);
    const ManifestReading reading = ReadManifest(text, options, findings);
    const std::vector<ManifestEntry>& entries = reading.entries;
    const std::size_t updaterAt = CarriedUpdaterAt(entries);
    bool updaterServed = false;
    // A closed folder is told once, not once for every file below it.
    std::set<fs::path> closed;
    std::size_t done = 0;
    for (; done < entries.size() && Clock::now() < options.deadline; ++done) {
        const ManifestEntry& e = entries[done];
        std::string md5, sha;
        std::uint64_t size = 0;
        const std::string_view* signedSha256 = SignedSha256(reading.sha256, e.path);
        const bool read = Md5OfFile(live / "files" / e.path, md5, size,
                                    signedSha256 != nullptr ? &sha : nullptr);
        const std::string problem = read ? CompareWithEntry(e, size, md5, sha, signedSha256)
                                         : WhyUnread(errno, "missing from files/");
        if (!problem.empty()) {
            Report(findings, e.path, problem);
            continue;
        }
        updaterServed = updaterServed || done == updaterAt;
        const std::pair<fs::path, std::string> shut = ClosedOnTheWay(live / "files", e.path);
        if (!shut.first.empty() && closed.insert(shut.first).second)
            Report(findings, shut.first == live / "files" / e.path ? e.path : shut.first.string(),
                   shut.second);
    }
    if (done < entries.size())
        Report(findings, server.string(), TimeLimitRanOut(done, entries.size()));
    if (updaterServed) {
        // Read again whole, as it is small: what the updater says of itself
        // may lie anywhere in it. One that will not read says nothing.
        std::string updater;
        if (!ReadWholeFile(live / "files" / entries[updaterAt].path, updater, MaxManifestBytes))
            updater.clear();
        TellCarriedUpdater(updater, reading.isSigned, options.keys, options.quiet, findings);
    }
    if (findings.count == 0 && !options.quiet)
        std::printf("ok: %zu files\n", entries.size());
    return Conclude(findings);
}
