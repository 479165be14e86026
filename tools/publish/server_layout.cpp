// Releases side by side in the server folder. Nothing a player can fetch is
// ever changed in place: a new release is built in a folder nobody serves,
// synced to disk, renamed into place whole, and made live by replacing the
// "current" link with a single rename. Earlier releases are pruned only after
// that rename.
#include "server_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "release_store.h"
#include "server_check.h"
#include "server_lock.h"
#include "shown_text.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char NextLink[] = ".current.new";
const char IncomingPrefix[] = ".incoming-";
const char DiscardPrefix[] = ".discard-";

bool ParseReleaseName(const std::string& name, unsigned long& id)
{
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return false;
    id = std::strtoul(name.c_str(), nullptr, 10);
    return true;
}

}  // namespace

int Fail(const fs::path& where, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(where.string()).c_str(), why.c_str());
    return 2;
}

std::string ReleaseName(unsigned long id)
{
    char name[24];
    std::snprintf(name, sizeof(name), "%06lu", id);
    return name;
}

// Half-built and half-removed releases carry a prefix that keeps them out
// of this list.
std::vector<unsigned long> ReleaseIds(const fs::path& server)
{
    std::vector<unsigned long> ids;
    std::error_code error;
    for (fs::directory_iterator it(server / ReleasesFolder, error), end; !error && it != end;
         it.increment(error)) {
        // A link under a release's name is no release: a rollback must not
        // switch to wherever it leads.
        unsigned long id = 0;
        std::error_code kind;
        if (fs::is_directory(it->symlink_status(kind)) &&
            ParseReleaseName(it->path().filename().string(), id))
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

fs::path ReleaseFolder(const fs::path& server, unsigned long id)
{
    return server / ReleasesFolder / ReleaseName(id);
}

fs::path IncomingFolder(const fs::path& server, unsigned long id)
{
    return server / ReleasesFolder / (IncomingPrefix + ReleaseName(id));
}

std::string ManifestOf(const fs::path& server, unsigned long id)
{
    std::string text;
    return ReadWholeFile(ReleaseFolder(server, id) / "manifest.txt", text) ? text : "";
}

fs::path LiveFolder(const fs::path& server)
{
    std::error_code error;
    return fs::is_symlink(server / CurrentLink, error) ? server / CurrentLink : server;
}

namespace {

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
    // The temporary files of the index and of the lock (whole_file.h names
    // them after the file, with six characters more).
    for (fs::directory_iterator it(server, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        for (const char* fixed : {"..publish-index.", "..publish.lock."}) {
            if (name.rfind(fixed, 0) == 0 && name.size() == std::strlen(fixed) + 6)
                leftovers.push_back(it->path());
        }
    }
    for (const fs::path& p : leftovers)
        fs::remove_all(p, error);
    fs::remove(server / NextLink, error);
}

// Renamed first, so that a removal cut short leaves no folder that looks
// like a complete release.
bool Discard(const fs::path& server, unsigned long id)
{
    std::error_code error;
    const fs::path doomed = server / ReleasesFolder / (DiscardPrefix + ReleaseName(id));
    fs::rename(ReleaseFolder(server, id), doomed, error);
    if (!error)
        fs::remove_all(doomed, error);
    return !error;
}

// A rename is on disk once the folder holding it is synced.
bool SyncFolder(const fs::path& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// The manifest, read-only like the files, then everything on disk: after a
// power cut the release the link names must be whole, not empty files.
int Seal(const fs::path& incoming, const std::string& manifest)
{
    if (!WriteWholeFile(incoming / "manifest.txt", manifest, 0444))
        return Fail(incoming / "manifest.txt", std::strerror(errno));
    const int folder = open(incoming.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = folder >= 0 && syncfs(folder) == 0;
    if (folder >= 0)
        close(folder);
    return ok ? 0 : Fail(incoming, std::strerror(errno));
}

// A server folder from before releases had folders of their own: its web
// server serves the folder itself, which a publish would no longer change.
bool HasOldLayout(const fs::path& server)
{
    std::error_code error;
    return !fs::is_symlink(server / CurrentLink, error) && fs::exists(server / "manifest.txt", error);
}

// Folders the tool makes are 0755 whatever the umask: the web server must
// get through them.
bool MakeFolder(const fs::path& folder)
{
    std::error_code error;
    if (folder.empty() || fs::is_directory(folder, error))
        return true;
    if (!MakeFolder(folder.parent_path()) || mkdir(folder.c_str(), 0755) != 0 ||
        chmod(folder.c_str(), 0755) != 0) {
        Fail(folder, std::strerror(errno));
        return false;
    }
    return true;
}

// SERVER_DIR/releases, made when missing; a link under that name is not
// followed: everything a publish writes goes below it.
bool MakeReleasesFolder(const fs::path& server)
{
    struct stat info;
    const fs::path releases = server / ReleasesFolder;
    if (lstat(releases.c_str(), &info) != 0)
        return MakeFolder(releases);
    if (S_ISDIR(info.st_mode))
        return true;
    Fail(releases, S_ISLNK(info.st_mode) ? "is a symbolic link: not followed; remove it" : "is not a folder");
    return false;
}

// The server folder server lies in, when it lies in one: its releases/ or
// current, say. Empty when it lies in none.
fs::path EnclosingServer(const fs::path& server)
{
    std::error_code error;
    const fs::path real = fs::weakly_canonical(server, error);
    for (fs::path at = real.parent_path(); !error && !at.empty() && at != at.root_path();
         at = at.parent_path()) {
        struct stat link;
        if (lstat((at / CurrentLink).c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
            fs::is_directory(at / ReleasesFolder, error))
            return at;
    }
    return fs::path();
}

}  // namespace

int RefusedServer(const fs::path& server)
{
    const fs::path enclosing = EnclosingServer(server);
    if (enclosing.empty())
        return 0;
    Fail(server, "lies inside the server folder " + Shown(enclosing.string()) +
                     " (its releases are made and switched by the tool): name " + Shown(enclosing.string()) +
                     " itself");
    return 2;
}

bool PrepareServer(const fs::path& server)
{
    if (HasOldLayout(server)) {
        Fail(server,
             "holds manifest.txt at its top, as published by an older korvanth-publish: publish into a "
             "new folder and serve its \"current\" folder instead (see docs/hosting.md)");
        return false;
    }
    // Locked before anything is made in it: the folder may be another
    // tool's, or one that tool is making at this moment.
    if (!MakeFolder(server) || LockServerFolder(server) != 0 || !MakeReleasesFolder(server))
        return false;
    // Made by the operator, it may keep the web server out: players would
    // get 403 for every file. Said, not changed: the folder is theirs.
    const std::string closed = ModeProblem(server, false);
    if (!closed.empty())
        std::fprintf(stderr, "korvanth-publish: warning: %s: %s\n", Shown(server.string()).c_str(),
                     closed.c_str());
    ClearLeftovers(server);
    return true;
}

// Those after the old live one were rolled back from or never went live, so
// a later rollback must not land on them; of those before it, the newest
// keep stay.
std::vector<unsigned long> Superseded(std::vector<unsigned long> ids, bool hasLive, unsigned long live,
                                      std::size_t keep)
{
    std::vector<unsigned long> doomed;
    while (hasLive && !ids.empty() && ids.back() > live) {
        doomed.push_back(ids.back());
        ids.pop_back();
    }
    for (std::size_t i = 0; i + keep < ids.size(); ++i)
        doomed.push_back(ids[i]);
    return doomed;
}

int SwitchTo(const fs::path& server, unsigned long id)
{
    std::error_code error;
    fs::remove(server / NextLink, error);
    fs::create_symlink(fs::path(ReleasesFolder) / ReleaseName(id), server / NextLink, error);
    if (!error)
        fs::rename(server / NextLink, server / CurrentLink, error);
    if (error)
        return Fail(server / CurrentLink, error.message());
    if (!SyncFolder(server)) {
        Fail(server, "release " + ReleaseName(id) +
                         " is live, but the switch may not survive a power cut: " + std::strerror(errno));
        return LiveButFailed;
    }
    return 0;
}

// In the order that keeps players whole: on disk, renamed into place,
// switched, and only then the releases it supersedes removed.
int GoLive(const fs::path& server, const fs::path& incoming, unsigned long id, const std::string& manifest,
           const std::vector<unsigned long>& doomed)
{
    int code = Seal(incoming, manifest);
    std::error_code error;
    if (code == 0) {
        fs::rename(incoming, ReleaseFolder(server, id), error);
        if (error || !SyncFolder(server / ReleasesFolder))
            code = Fail(incoming, error ? error.message() : std::strerror(errno));
    }
    if (code == 0)
        code = SwitchTo(server, id);
    if (code == 2)
        return code;
    for (unsigned long old : doomed) {
        if (!Discard(server, old)) {
            Fail(server, "release " + ReleaseName(id) + " is live, but release " + ReleaseName(old) +
                             " could not be removed; the next publish tries again");
            code = LiveButFailed;
        }
    }
    return code;
}

int LinkRelease(const fs::path& server, unsigned long from, const fs::path& incoming,
                const std::vector<std::string>& paths)
{
    const fs::path source = ReleaseFolder(server, from) / "files", target = incoming / "files";
    if (!MakeFolder(target))
        return 2;
    for (const std::string& path : paths) {
        const fs::path copy = target / path;
        if (!MakeFolder(copy.parent_path()))
            return 2;
        if (link((source / path).c_str(), copy.c_str()) != 0)
            return Fail(source / path, std::strerror(errno));
    }
    return 0;
}

int ReplaceManifest(const fs::path& server, unsigned long id, const std::string& manifest)
{
    const fs::path folder = ReleaseFolder(server, id);
    if (!WriteWholeFile((folder / "manifest.txt").string(), manifest, 0444))
        return Fail(folder / "manifest.txt", std::strerror(errno));
    if (!SyncFolder(folder)) {
        Fail(folder, "the new manifest.txt is served, but may not survive a power cut: " +
                         std::string(std::strerror(errno)));
        return LiveButFailed;
    }
    return 0;
}
