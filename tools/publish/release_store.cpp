// Releases side by side in the server folder. Nothing a player can fetch is
// ever changed in place: a new release is built in a folder nobody serves,
// renamed into place whole, and made live by replacing the "current" link
// with a single rename. Unchanged files are hard links to the live release's
// copies, so a republish costs little more than the files that changed.
#include "release_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "file_md5.h"
#include "manifest_line.h"
#include "purge_list.h"

namespace fs = std::filesystem;

namespace {

const char CurrentLink[] = "current";
const char NextLink[] = ".current.new";
const char ReleasesFolder[] = "releases";
const char IncomingPrefix[] = ".incoming-";
const char DiscardPrefix[] = ".discard-";

int Fail(const fs::path& where, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", where.c_str(), why.c_str());
    return 2;
}

std::string ReleaseName(unsigned long id)
{
    char name[24];
    std::snprintf(name, sizeof(name), "%06lu", id);
    return name;
}

bool ParseReleaseName(const std::string& name, unsigned long& id)
{
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return false;
    id = std::strtoul(name.c_str(), nullptr, 10);
    return true;
}

// Complete releases, oldest first. Half-built and half-removed ones carry a
// prefix that keeps them out of this list.
std::vector<unsigned long> ListReleases(const fs::path& server)
{
    std::vector<unsigned long> ids;
    std::error_code error;
    for (fs::directory_iterator it(server / ReleasesFolder, error), end; !error && it != end;
         it.increment(error)) {
        unsigned long id = 0;
        std::error_code kind;
        if (it->is_directory(kind) && ParseReleaseName(it->path().filename().string(), id))
            ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool LiveRelease(const fs::path& server, unsigned long& id)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(server / CurrentLink, error);
    return !error && target.parent_path() == ReleasesFolder &&
           ParseReleaseName(target.filename().string(), id);
}

// Held until the process ends, however it ends: the kernel drops the lock of
// a killed publish, so a leftover lock file never blocks the next one.
bool LockServer(const fs::path& server)
{
    const fs::path path = server / ".publish.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail(path, std::strerror(errno));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    std::fprintf(stderr, "korvanth-publish: %s: waiting for another publish or rollback to finish\n",
                 server.c_str());
    if (flock(fd, LOCK_EX) == 0)
        return true;
    Fail(path, std::strerror(errno));
    return false;
}

// What an interrupted publish or rollback left; only ever names that are
// not served, so removing them changes nothing for players.
void ClearLeftovers(const fs::path& server)
{
    std::error_code error;
    std::vector<fs::path> leftovers;
    for (fs::directory_iterator it(server / ReleasesFolder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(IncomingPrefix, 0) == 0 || name.rfind(DiscardPrefix, 0) == 0)
            leftovers.push_back(it->path());
    }
    for (const fs::path& p : leftovers)
        fs::remove_all(p, error);
    fs::remove(server / NextLink, error);
}

// Renamed first, so that a removal cut short leaves no folder that looks
// like a complete release.
void Discard(const fs::path& server, unsigned long id)
{
    std::error_code error;
    const fs::path doomed = server / ReleasesFolder / (DiscardPrefix + ReleaseName(id));
    fs::rename(server / ReleasesFolder / ReleaseName(id), doomed, error);
    if (!error)
        fs::remove_all(doomed, error);
}

int SwitchTo(const fs::path& server, unsigned long id)
{
    std::error_code error;
    fs::remove(server / NextLink, error);
    fs::create_symlink(fs::path(ReleasesFolder) / ReleaseName(id), server / NextLink, error);
    if (!error)
        fs::rename(server / NextLink, server / CurrentLink, error);
    return error ? Fail(server / CurrentLink, error.message()) : 0;
}

// The live copy serves again when it still holds exactly this content.
bool LinkUnchanged(const fs::path& live, const ReleaseFile& file, const fs::path& target)
{
    std::string md5;
    std::uint64_t size = 0;
    if (!Md5OfFile(live, md5, size) || md5 != file.md5 || size != file.size)
        return false;
    std::error_code error;
    fs::create_hard_link(live, target, error);
    return !error;
}

std::string ManifestText(const std::vector<ReleaseFile>& files)
{
    std::string text;
    for (const ReleaseFile& f : files)
        text += ManifestLine(f.md5, f.size, f.path);
    return text;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files must be on disk before the link names them: after a power cut
// the live release must be whole, not a set of empty files.
bool SyncFileSystem(const fs::path& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = syncfs(fd) == 0;
    close(fd);
    return ok;
}

// Everything up to the release folder's rename; false leaves only names the
// next run clears.
int BuildRelease(const std::vector<ReleaseFile>& files, const fs::path& incoming, const fs::path& liveFiles,
                 std::size_t& copied)
{
    std::error_code error;
    for (const ReleaseFile& f : files) {
        const fs::path target = incoming / "files" / f.path;
        fs::create_directories(target.parent_path(), error);
        if (error)
            return Fail(target.parent_path(), error.message());
        if (!liveFiles.empty() && LinkUnchanged(liveFiles / f.path, f, target))
            continue;
        if (!fs::copy_file(f.source, target, error))
            return Fail(target, error.message());
        ++copied;
    }
    std::ofstream manifest(incoming / "manifest.txt", std::ios::binary | std::ios::trunc);
    manifest << ManifestText(files);
    manifest.close();
    if (!manifest)
        return Fail(incoming / "manifest.txt", "cannot be written");
    if (!SyncFileSystem(incoming))
        return Fail(incoming, std::strerror(errno));
    return 0;
}

// A server folder from before releases had folders of their own: its web
// server serves the folder itself, which a publish would no longer change.
bool HasOldLayout(const fs::path& server)
{
    std::error_code error;
    return !fs::is_symlink(server / CurrentLink, error) && fs::exists(server / "manifest.txt", error);
}

bool PrepareServer(const fs::path& server)
{
    std::error_code error;
    if (HasOldLayout(server)) {
        Fail(server,
             "holds manifest.txt at its top, as published by an older korvanth-publish: publish into a "
             "new folder and serve its \"current\" folder instead (see docs/hosting.md)");
        return false;
    }
    fs::create_directories(server / ReleasesFolder, error);
    if (error) {
        Fail(server, error.message());
        return false;
    }
    if (!LockServer(server))
        return false;
    ClearLeftovers(server);
    return true;
}

// After a switch: what a cache in front must forget. The release is live
// either way; a list that cannot be written is an error all the same, since
// without it the operator cannot purge.
int ReportChanges(const std::string& purgeList, const std::string& before, const std::string& after)
{
    return purgeList.empty() || WritePurgeList(purgeList, PurgeList(before, after)) ? 0 : 2;
}

std::string LiveManifest(const fs::path& server, unsigned long id)
{
    return ReadFile(server / ReleasesFolder / ReleaseName(id) / "manifest.txt");
}

}  // namespace

int PublishRelease(const std::vector<ReleaseFile>& files, const fs::path& server, std::size_t keep,
                   const std::string& purgeList, bool quiet)
{
    if (!PrepareServer(server))
        return 2;
    unsigned long live = 0;
    const bool hasLive = LiveRelease(server, live);
    std::vector<unsigned long> ids = ListReleases(server);
    // Numbers only go up, so a release number names one release for good.
    const unsigned long id = (ids.empty() ? 0 : ids.back()) + 1;
    const fs::path incoming = server / ReleasesFolder / (IncomingPrefix + ReleaseName(id));
    const fs::path liveFiles = hasLive ? server / ReleasesFolder / ReleaseName(live) / "files" : fs::path();

    std::size_t copied = 0;
    int code = BuildRelease(files, incoming, liveFiles, copied);
    std::error_code error;
    const std::string before = hasLive ? LiveManifest(server, live) : "";
    const std::string after = ManifestText(files);
    // A republish of what is live would only push a real earlier release
    // out of those kept for a rollback.
    if (code == 0 && hasLive && copied == 0 && before == after) {
        fs::remove_all(incoming, error);
        if (!quiet)
            std::printf("nothing changed: release %s stays live\n", ReleaseName(live).c_str());
        return ReportChanges(purgeList, before, after);
    }
    if (code == 0) {
        fs::rename(incoming, server / ReleasesFolder / ReleaseName(id), error);
        code = error ? Fail(incoming, error.message()) : SwitchTo(server, id);
    }
    if (code != 0) {
        fs::remove_all(incoming, error);
        return code;
    }
    // Releases after the old live one were rolled back, or never went live:
    // a later rollback must not land on them. Of those before it, the
    // newest few stay.
    while (hasLive && !ids.empty() && ids.back() > live) {
        Discard(server, ids.back());
        ids.pop_back();
    }
    for (std::size_t i = 0; i + keep < ids.size(); ++i)
        Discard(server, ids[i]);

    if (!quiet) {
        std::uint64_t bytes = 0;
        for (const ReleaseFile& f : files)
            bytes += f.size;
        std::printf("published %zu files (%llu bytes) as release %s: %zu copied, %zu unchanged\n",
                    files.size(), static_cast<unsigned long long>(bytes), ReleaseName(id).c_str(), copied,
                    files.size() - copied);
    }
    return ReportChanges(purgeList, before, after);
}

int RollBack(const fs::path& server, const std::string& purgeList, bool quiet)
{
    std::error_code error;
    if (!fs::is_directory(server / ReleasesFolder, error)) {
        std::fprintf(stderr, "korvanth-publish: %s: holds no release to roll back to\n", server.c_str());
        return 1;
    }
    if (!PrepareServer(server))
        return 2;
    unsigned long live = 0;
    if (!LiveRelease(server, live))
        return Fail(server / CurrentLink, "names no release");
    const std::vector<unsigned long> ids = ListReleases(server);
    const auto earlier = std::lower_bound(ids.begin(), ids.end(), live);
    if (earlier == ids.begin()) {
        std::fprintf(stderr, "korvanth-publish: %s: no release before %s to roll back to\n", server.c_str(),
                     ReleaseName(live).c_str());
        return 1;
    }
    const unsigned long previous = *(earlier - 1);
    const int code = SwitchTo(server, previous);
    if (code != 0)
        return code;
    if (!quiet)
        std::printf("rolled back: release %s is live again, in place of %s\n", ReleaseName(previous).c_str(),
                    ReleaseName(live).c_str());
    return ReportChanges(purgeList, LiveManifest(server, live), LiveManifest(server, previous));
}

fs::path LiveFolder(const fs::path& server)
{
    std::error_code error;
    return fs::is_symlink(server / CurrentLink, error) ? server / CurrentLink : server;
}
