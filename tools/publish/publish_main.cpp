// korvanth-publish: turns a game release folder into a patch server folder
// (manifest.txt and files/) that the updater accepts, and checks one.
// A republish copies only what changed and swaps the manifest in last, so a
// player who fetches during a publish never gets a manifest that names files
// not yet in place.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "file_md5.h"
#include "manifest.h"
#include "release_rules.h"

namespace fs = std::filesystem;

namespace {

const char Usage[] =
    "usage: korvanth-publish [--include-updater] [--quiet] RELEASE_DIR SERVER_DIR\n"
    "       korvanth-publish --check SERVER_DIR\n"
    "\n"
    "Publishes the game release in RELEASE_DIR as a patch server folder: SERVER_DIR/manifest.txt\n"
    "and SERVER_DIR/files/. Serve SERVER_DIR at the updater's base URL. Republishing copies only\n"
    "changed files, removes files no longer in the release and replaces manifest.txt last.\n"
    "\n"
    "  --include-updater  also publish KorvanthUpdater.exe and update.url (left out by default)\n"
    "  --quiet            no progress or summary on standard output\n"
    "  --check            verify SERVER_DIR: every manifest line parses, every file is there\n"
    "                     with its size and digest\n"
    "  --help             this text\n"
    "\n"
    "Exit codes: 0 done, 1 release refused or check failed, 2 usage or I/O error.\n";

struct ReleaseFile {
    std::string path;  // relative, '/' between folders
    fs::path source;
    std::string md5;
    std::uint64_t size;
};

bool quiet = false;

void Progress(const char* what, std::size_t done, std::size_t total)
{
    // Only worth a line when a release is large enough to keep one waiting.
    if (quiet || total < 200 || (done % 200 != 0 && done != total))
        return;
    std::printf("%s %zu/%zu files\n", what, done, total);
    std::fflush(stdout);
}

bool IsLeftOutByDefault(const std::string& path)
{
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "korvanthupdater.exe" || lower == "update.url";
}

// Every regular file below root, checked against the release rules; false
// (with a message per offending file) when anything is refused.
bool CollectRelease(const fs::path& root, bool includeUpdater, std::vector<ReleaseFile>& files)
{
    bool ok = true;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory())
            continue;
        const std::string path = fs::relative(it->path(), root).generic_string();
        if (!it->is_regular_file()) {
            std::fprintf(stderr, "korvanth-publish: %s: not a regular file\n", path.c_str());
            ok = false;
            continue;
        }
        if (!includeUpdater && IsLeftOutByDefault(path))
            continue;
        const std::string why = WhyRefused(path);
        if (!why.empty()) {
            std::fprintf(stderr, "korvanth-publish: %s: %s\n", path.c_str(), why.c_str());
            ok = false;
            continue;
        }
        files.push_back({path, it->path(), "", 0});
    }
    if (error) {
        std::fprintf(stderr, "korvanth-publish: %s: %s\n", root.c_str(), error.message().c_str());
        return false;
    }
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    std::vector<std::string> paths;
    for (const ReleaseFile& f : files)
        paths.push_back(f.path);
    for (const auto& pair : CaseCollisions(paths)) {
        std::fprintf(stderr, "korvanth-publish: %s: differs from %s only by case; Windows keeps one\n",
                     pair.second.c_str(), pair.first.c_str());
        ok = false;
    }
    return ok;
}

bool HashAll(std::vector<ReleaseFile>& files)
{
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!Md5OfFile(files[i].source, files[i].md5, files[i].size)) {
            std::fprintf(stderr, "korvanth-publish: %s: cannot be read\n", files[i].path.c_str());
            return false;
        }
        Progress("hashed", i + 1, files.size());
    }
    return true;
}

// Writes through a temporary name and a rename, so that nobody ever reads a
// half-written file at the final name.
bool CopyInto(const fs::path& source, const fs::path& target)
{
    std::error_code error;
    fs::path parent = target.parent_path();
    // A file standing where a folder must now be goes, and a folder where the file goes.
    for (fs::path p = parent; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (fs::exists(p, error) && !fs::is_directory(p, error))
            fs::remove(p, error);
    }
    if (fs::is_directory(target, error))
        fs::remove_all(target, error);
    fs::create_directories(parent, error);
    const fs::path temp = target.string() + ".publish-tmp";
    if (!fs::copy_file(source, temp, fs::copy_options::overwrite_existing, error)) {
        std::fprintf(stderr, "korvanth-publish: %s: %s\n", target.c_str(), error.message().c_str());
        return false;
    }
    fs::rename(temp, target, error);
    if (error) {
        std::fprintf(stderr, "korvanth-publish: %s: %s\n", target.c_str(), error.message().c_str());
        return false;
    }
    return true;
}

bool WriteManifest(const fs::path& server, const std::vector<ReleaseFile>& files)
{
    const fs::path temp = server / "manifest.txt.publish-tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        for (const ReleaseFile& f : files)
            out << f.md5 << '\t' << f.size << '\t' << f.path << '\n';
        out.flush();
        if (!out) {
            std::fprintf(stderr, "korvanth-publish: %s: cannot be written\n", temp.c_str());
            return false;
        }
    }
    std::error_code error;
    fs::rename(temp, server / "manifest.txt", error);
    if (error) {
        std::fprintf(stderr, "korvanth-publish: manifest.txt: %s\n", error.message().c_str());
        return false;
    }
    return true;
}

// Files of an earlier release that this one no longer lists, then the
// folders they leave empty. Runs after the manifest swap: until then the old
// manifest may still name them.
std::size_t RemoveStale(const fs::path& filesRoot, const std::set<std::string>& listed)
{
    std::size_t removed = 0;
    std::vector<fs::path> folders;
    std::error_code error;
    std::vector<fs::path> stale;
    for (fs::recursive_directory_iterator it(filesRoot, error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory())
            folders.push_back(it->path());
        else if (listed.count(fs::relative(it->path(), filesRoot).generic_string()) == 0)
            stale.push_back(it->path());
    }
    for (const fs::path& p : stale)
        removed += fs::remove(p, error) ? 1 : 0;
    std::sort(folders.begin(), folders.end(), [](const fs::path& a, const fs::path& b) {
        return a.string().size() > b.string().size();
    });
    for (const fs::path& folder : folders) {
        if (fs::is_empty(folder, error))
            fs::remove(folder, error);
    }
    return removed;
}

int Publish(const fs::path& release, const fs::path& server, bool includeUpdater)
{
    std::error_code error;
    if (!fs::is_directory(release, error)) {
        std::fprintf(stderr, "korvanth-publish: %s: not a folder\n", release.c_str());
        return 2;
    }
    fs::create_directories(server, error);
    const fs::path releaseReal = fs::canonical(release, error);
    const fs::path serverReal = fs::canonical(server, error);
    if (error) {
        std::fprintf(stderr, "korvanth-publish: %s: %s\n", server.c_str(), error.message().c_str());
        return 2;
    }
    const std::string r = releaseReal.string() + "/", s = serverReal.string() + "/";
    if (s.compare(0, r.size(), r) == 0 || r.compare(0, s.size(), s) == 0) {
        std::fprintf(stderr, "korvanth-publish: the release and server folders must not contain each other\n");
        return 2;
    }

    std::vector<ReleaseFile> files;
    if (!CollectRelease(releaseReal, includeUpdater, files))
        return 1;
    if (std::none_of(files.begin(), files.end(), [](const ReleaseFile& f) { return f.path == "Korvanth.exe"; }))
        std::fprintf(stderr, "korvanth-publish: warning: the release has no Korvanth.exe\n");
    if (!HashAll(files))
        return 2;

    const fs::path filesRoot = serverReal / "files";
    std::size_t copied = 0;
    std::uint64_t bytes = 0;
    std::set<std::string> listed;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const ReleaseFile& f = files[i];
        listed.insert(f.path);
        bytes += f.size;
        const fs::path target = filesRoot / f.path;
        std::string digest;
        std::uint64_t size = 0;
        if (fs::is_regular_file(target, error) && Md5OfFile(target, digest, size) && digest == f.md5 &&
            size == f.size)
            continue;
        if (!CopyInto(f.source, target))
            return 2;
        ++copied;
        Progress("copied", i + 1, files.size());
    }
    fs::create_directories(filesRoot, error);
    if (!WriteManifest(serverReal, files))
        return 2;
    const std::size_t removed = RemoveStale(filesRoot, listed);
    if (!quiet) {
        std::printf("published %zu files (%llu bytes): %zu copied, %zu unchanged, %zu removed\n",
                    files.size(), static_cast<unsigned long long>(bytes), copied, files.size() - copied,
                    removed);
    }
    return 0;
}

int Check(const fs::path& server)
{
    std::ifstream in(server / "manifest.txt", std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "korvanth-publish: %s: no manifest.txt\n", server.c_str());
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    int problems = 0;
    std::size_t count = 0;
    std::string line;
    for (std::size_t number = 1; std::getline(text, line); ++number) {
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' '))
            trimmed.pop_back();
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        const std::vector<ManifestEntry> entries = ParseManifest(line);
        if (entries.size() != 1) {
            std::fprintf(stderr, "korvanth-publish: manifest.txt line %zu: the updater would skip it\n", number);
            ++problems;
            continue;
        }
        const ManifestEntry& e = entries[0];
        ++count;
        std::string digest;
        std::uint64_t size = 0;
        if (!Md5OfFile(server / "files" / e.path, digest, size)) {
            std::fprintf(stderr, "korvanth-publish: %s: missing from files/\n", e.path.c_str());
            ++problems;
        } else if (size != e.size) {
            std::fprintf(stderr, "korvanth-publish: %s: %llu bytes, manifest says %llu\n", e.path.c_str(),
                         static_cast<unsigned long long>(size), static_cast<unsigned long long>(e.size));
            ++problems;
        } else if (digest != e.md5) {
            std::fprintf(stderr, "korvanth-publish: %s: digest %s, manifest says %s\n", e.path.c_str(),
                         digest.c_str(), e.md5.c_str());
            ++problems;
        }
    }
    if (problems > 0)
        return 1;
    if (!quiet)
        std::printf("ok: %zu files\n", count);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool check = false;
    bool includeUpdater = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--include-updater") {
            includeUpdater = true;
        } else if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "korvanth-publish: unknown option %s\n%s", arg.c_str(), Usage);
            return 2;
        } else {
            operands.push_back(arg);
        }
    }
    if (check && operands.size() == 1)
        return Check(operands[0]);
    if (!check && operands.size() == 2)
        return Publish(operands[0], operands[1], includeUpdater);
    std::fputs(Usage, stderr);
    return 2;
}
