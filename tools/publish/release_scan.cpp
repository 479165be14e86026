// Reading a release folder. Symbolic links are common in release trees
// (shared assets, a folder linked in twice); each is published under its own
// name with its target's content. One that cannot be read that way, or that
// leads out of the release, stops the publish before the server folder is
// touched.
#include "release_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "masked_url.h"
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
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", MaskCredentials(path).c_str(), why.c_str());
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

struct Walk {
    std::string top;                             // the release folder as given
    std::string root;                            // its real path, '/' at the end
    std::vector<std::pair<dev_t, ino_t>> chain;  // the folders from root down to the one walked
    std::uint64_t manifestBytes;
    std::vector<ReleaseFile>& files;
};

// Shared assets kept beside the release are easy to link in by mistake, and
// so is a key or a configuration file: a link must stay inside the release.
bool LeadsInside(const Walk& walk, const std::string& path, std::string& target)
{
    char* real = realpath((walk.top + "/" + path).c_str(), nullptr);
    target = real != nullptr ? real : "";
    std::free(real);
    return (target + "/").compare(0, walk.root.size(), walk.root) == 0;
}

// The manifest line's length, counted as the files are found so that a
// release no updater could take is refused before any file is read.
bool WithinManifestLimit(Walk& walk, const std::string& path, std::uint64_t size)
{
    walk.manifestBytes += 32 + 1 + std::to_string(size).size() + 1 + path.size() + 1;
    if (walk.manifestBytes <= MaxManifestBytes)
        return true;
    std::fprintf(stderr,
                 "korvanth-publish: manifest.txt would pass %llu MiB after %zu files: every player's updater "
                 "refuses a longer one and starts the old client\n",
                 static_cast<unsigned long long>(MaxManifestBytes >> 20), walk.files.size());
    return false;
}

bool WalkFolder(Walk& walk, int folder, const std::string& prefix, bool& ok);

// One name in an open folder, stat'ed relative to it: a path walked from
// the top for each of hundreds of thousands of files would cost more than
// the rest of the scan. False when the walk must stop at once.
bool WalkEntry(Walk& walk, int folder, const char* name, unsigned char type, const std::string& path,
               bool& ok)
{
    struct stat info;
    std::string target;
    if (fstatat(folder, name, &info, 0) != 0) {
        const int reason = errno;
        Refuse(path, reason == ENOENT  ? "is a symbolic link to nothing"
                     : reason == ELOOP ? "is a symbolic link that loops"
                                       : std::strerror(reason));
        ok = false;
        return true;
    }
    struct stat own;
    const bool isLink = type == DT_LNK ||
                        (type == DT_UNKNOWN && fstatat(folder, name, &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISLNK(own.st_mode));
    if (isLink && !LeadsInside(walk, path, target)) {
        Refuse(path, "is a symbolic link that leads out of the release folder, to " + target);
        ok = false;
    } else if (S_ISDIR(info.st_mode)) {
        const std::pair<dev_t, ino_t> id(info.st_dev, info.st_ino);
        if (std::find(walk.chain.begin(), walk.chain.end(), id) != walk.chain.end()) {
            Refuse(path, "is a symbolic link to a folder that holds it (a loop)");
            ok = false;
            return true;
        }
        const int inner = openat(folder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (inner < 0) {
            Refuse(path, std::strerror(errno));
            ok = false;
            return true;
        }
        walk.chain.push_back(id);
        const bool goOn = WalkFolder(walk, inner, path, ok);
        walk.chain.pop_back();
        return goOn;
    } else if (S_ISREG(info.st_mode)) {
        ReleaseFile file;
        file.path = path;
        file.stamp = StampOf(info);
        walk.files.push_back(file);
        return WithinManifestLimit(walk, path, file.stamp.size);
    } else {
        Refuse(path, "is not a regular file");
        ok = false;
    }
    return true;
}

// Takes folder (an open descriptor) and closes it.
bool WalkFolder(Walk& walk, int folder, const std::string& prefix, bool& ok)
{
    DIR* listing = fdopendir(folder);
    if (listing == nullptr) {
        Refuse(prefix.empty() ? walk.top : prefix, std::strerror(errno));
        close(folder);
        ok = false;
        return true;
    }
    bool goOn = true;
    errno = 0;
    for (struct dirent* entry; goOn && (entry = readdir(listing)) != nullptr; errno = 0) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (!prefix.empty() || !IsLeftOut(path))
            goOn = WalkEntry(walk, folder, entry->d_name, entry->d_type, path, ok);
    }
    if (goOn && errno != 0) {
        Refuse(prefix.empty() ? walk.top : prefix, std::strerror(errno));
        ok = false;
    }
    closedir(listing);
    return goOn;
}

}  // namespace

bool ScanRelease(const fs::path& root, std::vector<ReleaseFile>& files)
{
    struct stat info;
    char* real = realpath(root.c_str(), nullptr);
    const std::string rootReal = real != nullptr ? real : "";
    std::free(real);
    const int top = rootReal.empty() ? -1 : open(rootReal.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0 || fstat(top, &info) != 0) {
        Refuse(root.string(), "not a folder");
        if (top >= 0)
            close(top);
        return false;
    }
    Walk walk = {root.string(),
                 rootReal == "/" ? rootReal : rootReal + "/",
                 {std::make_pair(info.st_dev, info.st_ino)},
                 0,
                 files};
    bool ok = true;
    if (!WalkFolder(walk, top, "", ok))
        return false;
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    // Names are checked once the walk is through: a release far too large is
    // refused before any time goes into them.
    std::vector<std::string> paths;
    for (const ReleaseFile& f : files) {
        const std::string why = WhyRefused(f.path);
        if (!why.empty()) {
            Refuse(f.path, why);
            ok = false;
        }
        paths.push_back(f.path);
    }
    for (const auto& pair : CaseCollisions(paths)) {
        Refuse(pair.second, "differs from " + pair.first + " only by case; Windows keeps one");
        ok = false;
    }
    if (ok && files.empty()) {
        Refuse(root.string(), "the release has no file to publish");
        ok = false;
    }
    if (ok && !std::any_of(files.begin(), files.end(),
                           [](const ReleaseFile& f) { return f.path == "Korvanth.exe"; }))
        std::fprintf(stderr, "korvanth-publish: warning: the release has no Korvanth.exe\n");
    return ok;
}
