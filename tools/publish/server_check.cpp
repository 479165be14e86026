// Checking a server folder: the live release, or a plain copy of one.
#include "server_check.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "file_md5.h"
#include "release_store.h"

namespace fs = std::filesystem;

std::vector<ManifestEntry> ReadEntries(const std::string& text, int& problems)
{
    std::vector<ManifestEntry> entries;
    std::istringstream lines(text);
    std::string line;
    for (std::size_t number = 1; std::getline(lines, line); ++number) {
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' '))
            trimmed.pop_back();
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        const std::vector<ManifestEntry> parsed = ParseManifest(line);
        if (parsed.size() != 1) {
            std::fprintf(stderr, "korvanth-publish: manifest.txt line %zu: the updater would skip it\n",
                         number);
            ++problems;
            continue;
        }
        entries.push_back(parsed[0]);
    }
    if (entries.empty() && problems == 0) {
        std::fprintf(
            stderr,
            "korvanth-publish: manifest.txt lists no file: players get \"Manifest vacio o invalido\"\n");
        ++problems;
    }
    return entries;
}

std::string CompareWithEntry(const ManifestEntry& entry, std::uint64_t size, const std::string& md5)
{
    char text[160];
    if (size != entry.size)
        std::snprintf(text, sizeof(text), "%llu bytes, manifest says %llu",
                      static_cast<unsigned long long>(size), static_cast<unsigned long long>(entry.size));
    else if (md5 != entry.md5)
        std::snprintf(text, sizeof(text), "digest %s, manifest says %s", md5.c_str(), entry.md5.c_str());
    else
        return "";
    return text;
}

int CheckFolder(const fs::path& server, bool quiet)
{
    const fs::path live = LiveFolder(server);
    std::ifstream in(live / "manifest.txt", std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "korvanth-publish: %s: no manifest.txt\n", live.c_str());
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    int problems = 0;
    const std::vector<ManifestEntry> entries = ReadEntries(text.str(), problems);
    for (const ManifestEntry& e : entries) {
        std::string md5;
        std::uint64_t size = 0;
        std::string problem = "missing from files/";
        if (Md5OfFile(live / "files" / e.path, md5, size))
            problem = CompareWithEntry(e, size, md5);
        if (!problem.empty()) {
            std::fprintf(stderr, "korvanth-publish: %s: %s\n", e.path.c_str(), problem.c_str());
            ++problems;
        }
    }
    if (problems > 0)
        return 1;
    if (!quiet)
        std::printf("ok: %zu files\n", entries.size());
    return 0;
}
