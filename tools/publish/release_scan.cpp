// Reading a release folder. Symbolic links are common in release trees
// (shared assets, a folder kept elsewhere); each is published under its own
// name with its target's content. One that cannot be read that way stops the
// publish before the server folder is touched.
#include "release_scan.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "file_md5.h"
#include "release_rules.h"

namespace fs = std::filesystem;

namespace {

// Shipped with the game's installer, never with a release: Windows cannot
// replace the updater while it runs, so every player would fail it on every
// run, and update.url would send every player to the server it names.
const struct {
    const char* name;
    const char* why;
} LeftOut[] = {
    {"korvanthupdater.exe", "Windows cannot replace the updater while it runs"},
    {"update.url", "it would send every player to the server it names"},
};

void Refuse(const std::string& path, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", path.c_str(), why.c_str());
}

bool IsLeftOut(const std::string& path)
{
    for (const auto& entry : LeftOut) {
        if (strcasecmp(path.c_str(), entry.name) == 0) {
            std::fprintf(
                stderr,
                "korvanth-publish: note: %s is not published: %s; it ships with the game's installer\n",
                path.c_str(), entry.why);
            return true;
        }
    }
    return false;
}

typedef std::vector<std::pair<dev_t, ino_t>> FolderChain;

bool Walk(const fs::path& folder, const std::string& prefix, FolderChain& chain,
          std::vector<ReleaseFile>& files)
{
    bool ok = true;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (prefix.empty() && IsLeftOut(path))
            continue;
        struct stat info;
        if (stat(it->path().c_str(), &info) != 0) {
            const int reason = errno;
            Refuse(path, reason == ENOENT  ? "is a symbolic link to nothing"
                         : reason == ELOOP ? "is a symbolic link that loops"
                                           : std::strerror(reason));
            ok = false;
        } else if (S_ISDIR(info.st_mode)) {
            const std::pair<dev_t, ino_t> id(info.st_dev, info.st_ino);
            if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
                Refuse(path, "is a symbolic link to a folder that holds it (a loop)");
                ok = false;
                continue;
            }
            chain.push_back(id);
            ok = Walk(it->path(), path, chain, files) && ok;
            chain.pop_back();
        } else if (S_ISREG(info.st_mode)) {
            const std::string why = WhyRefused(path);
            if (!why.empty()) {
                Refuse(path, why);
                ok = false;
            }
            files.push_back({path, it->path(), "", 0});
        } else {
            Refuse(path, "is not a regular file");
            ok = false;
        }
    }
    if (error) {
        Refuse(folder.string(), error.message());
        return false;
    }
    return ok;
}

}  // namespace

bool ScanRelease(const fs::path& root, std::vector<ReleaseFile>& files)
{
    struct stat info;
    if (stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        Refuse(root.string(), "not a folder");
        return false;
    }
    FolderChain chain(1, std::make_pair(info.st_dev, info.st_ino));
    bool ok = Walk(root, "", chain, files);
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    std::vector<std::string> paths;
    for (const ReleaseFile& f : files)
        paths.push_back(f.path);
    for (const auto& pair : CaseCollisions(paths)) {
        Refuse(pair.second, "differs from " + pair.first + " only by case; Windows keeps one");
        ok = false;
    }
    if (ok && files.empty()) {
        Refuse(root.string(), "the release has no file to publish");
        ok = false;
    }
    return ok;
}

bool HashRelease(std::vector<ReleaseFile>& files)
{
    for (ReleaseFile& f : files) {
        if (!Md5OfFile(f.source, f.md5, f.size)) {
            Refuse(f.path, "cannot be read");
            return false;
        }
    }
    return true;
}
