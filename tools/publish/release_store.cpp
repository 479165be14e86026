// Releases side by side in the server folder. Nothing a player can fetch is
// ever changed in place: a new release is built in a folder nobody serves,
// synced to disk, renamed into place whole, and made live by replacing the
// "current" link with a single rename. Earlier releases are pruned only after
// that rename. Unchanged files are hard links to the live release's copies,
// read-only, so that a republish costs little more than the files that
// changed and an edit in place fails instead of reaching every release.
#include "release_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>

#include "manifest.h"
#include "manifest_line.h"
#include "signed_manifest.h"
#include "shown_text.h"
#include "purge_list.h"
#include "release_build.h"
#include "release_index.h"
#include "release_signing.h"
#include "server_check.h"
#include "server_lock.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char CurrentLink[] = "current";
const char NextLink[] = ".current.new";
const char ReleasesFolder[] = "releases";
const char IncomingPrefix[] = ".incoming-";
const char DiscardPrefix[] = ".discard-";

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

// The releases a new live release makes superfluous: those after the old
// live one were rolled back from or never went live, so a later rollback
// must not land on them; of those before it, the newest keep stay.
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

// The manifest of files as the updater reads it, with every file's SHA-256
// after the entries when it is to be signed: all but the signature.
std::string ManifestText(const std::vector<ReleaseFile>& files, bool signing)
{
    std::string text;
    for (const ReleaseFile& f : files)
        text += ManifestLine(f.md5, f.size, f.path);
    for (std::size_t i = 0; signing && i < files.size(); ++i)
        text += Sha256Line(files[i].sha256, files[i].path);
    return text;
}

// Whether the release whose manifest would be text (unsigned) is the live
// release, whose manifest is live: the same text and, signed, by a key of
// signer's. A signature over the same bytes by the same key is the same.
bool SameRelease(const std::string& text, const std::string& live, const Signer* signer)
{
    SignedParts parts;
    if (signer == nullptr)
        return text == live;
    // A live signature that no longer checks (a damaged manifest) is no
    // reason to keep it: publishing again mends it.
    const std::vector<ReleaseKey> keys = AsReleaseKeys(signer->publicKeys);
    return SplitSignature(live, parts) && parts.signedText == text &&
           std::any_of(keys.begin(), keys.end(), [&](const ReleaseKey& key) {
               return parts.keyId == key.id && VerifyWithOpenSsl(key, parts.signedText, parts.signature);
           });
}

// Whether a release whose manifest is other may replace the live one, whose
// manifest is live, for players: not an unsigned one over a signed one.
bool SignedAsLive(const std::string& live, const std::string& other)
{
    SignedParts parts;
    return !SplitSignature(live, parts) || SplitSignature(other, parts);
}

// The manifest of a release, or nothing when it cannot be read: a release
// without one is as good as none.
std::string ManifestOf(const fs::path& server, unsigned long id)
{
    std::string text;
    return ReadWholeFile(ReleaseFolder(server, id) / "manifest.txt", text) ? text : "";
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

// What to write into the purge list, or why it could not be.
int ReportChanges(WholeFile& list, const std::string& before, const std::string& after, unsigned long live)
{
    if (FinishPurgeList(list, PurgeList(before, after)))
        return 0;
    std::fprintf(stderr, "korvanth-publish: release %s is live, but the purge list %s was not written: %s\n",
                 ReleaseName(live).c_str(), Shown(list.path).c_str(), std::strerror(errno));
    return LiveButFailed;
}

// The index of the release now live in folder, written last: every link
// made or removed before moves the copies' stamps.
void RecordIndex(const fs::path& server, const fs::path& folder, const std::vector<ReleaseFile>& files,
                 std::int64_t scanStarted)
{
    ReleaseIndex index;
    index.startedSeconds = scanStarted;
    for (const ReleaseFile& f : files) {
        struct stat info;
        if (lstat((folder / "files" / f.path).c_str(), &info) == 0)
            index.entries[f.path] = IndexEntry{f.stamp, StampOf(info), f.md5, f.sha256};
    }
    SaveIndex(server, index);
}

// Every file the live manifest has and the release has not.
std::vector<std::string> Dropped(const std::string& liveManifest, const std::vector<ReleaseFile>& files)
{
    std::unordered_set<std::string> kept;
    for (const ReleaseFile& f : files)
        kept.insert(f.path);
    std::vector<std::string> dropped;
    for (const ManifestEntry& e : ParseManifest(liveManifest)) {
        if (kept.count(e.path) == 0)
            dropped.push_back(e.path);
    }
    return dropped;
}

// A republish of what is live, found without reading a file: every file
// known unchanged and the same list. Making a release of it would only push
// a real earlier release out of those kept for a rollback.
bool NothingChanged(const std::vector<ReleaseFile>& files, std::size_t unchanged,
                    const std::string& liveManifest, const Signer* signer)
{
    return unchanged == files.size() &&
           SameRelease(ManifestText(files, signer != nullptr), liveManifest, signer);
}

// What a new release is built against.
struct Live {
    bool exists = false;
    unsigned long id = 0;
    fs::path folder;  // empty when there is no live release
    std::string manifest;
    LiveCopies copies;
};

Live ReadLive(const fs::path& server)
{
    Live live;
    live.exists = LiveRelease(server, live.id);
    if (live.exists) {
        live.folder = ReleaseFolder(server, live.id);
        live.manifest = ManifestOf(server, live.id);
        live.copies.files = live.folder / "files";
        live.copies.index = LoadIndex(server);
        for (const ManifestEntry& e : ParseManifest(live.manifest))
            live.copies.listed[e.path] = e;
    }
    return live;
}

// When signing, the live manifest's SHA-256 lines, if its signature checks
// with one of signer's keys (see LiveCopies). Views into live.manifest.
void SignedDigestsOfLive(Live& live, const Signer* signer)
{
    std::vector<ManifestEntry> entries;
    if (signer == nullptr)
        return;
    const std::vector<ReleaseKey> keys = AsReleaseKeys(signer->publicKeys);
    CheckSignedManifest(live.manifest, keys.data(), keys.size(), VerifyWithOpenSsl, entries,
                        live.copies.signedSha256);
}

// The files known unchanged without reading them, and what the operator
// should know of the stamps that could not be trusted.
std::size_t KnownUnchanged(ReleaseTree& tree, const fs::path& release, const Live& live,
                           const PublishOptions& options, bool signing)
{
    if (options.rehash || !live.exists)
        return 0;
    if (!tree.untrustedFileSystem.empty() && !options.trustStat && !live.copies.index.entries.empty())
        std::fprintf(stderr,
                     "korvanth-publish: note: %s lies on %s, whose change times cannot be trusted: its files "
                     "are read again (--trust-stat takes their stamps, at a risk: see --help)\n",
                     Shown(release.string()).c_str(), tree.untrustedFileSystem.c_str());
    return MarkUnchanged(tree.files, live.copies, options.trustStat, signing);
}

// What no publish may go on with: release files that are the live copies
// themselves, and (said, not refused) files nobody may read in the release.
bool Vetted(const ReleaseTree& tree, const Live& live)
{
    for (const ReleaseFile& f : tree.files) {
        if ((f.stamp.mode & 0444) == 0)
            std::fprintf(
                stderr,
                "korvanth-publish: warning: %s: readable by nobody in the release (mode %04o); it is "
                "published readable by all, as every file is\n",
                Shown(f.path).c_str(), static_cast<unsigned>(f.stamp.mode & 07777));
    }
    const std::vector<std::string> shared = SharedWithLive(tree.files, live.copies);
    for (const std::string& path : shared)
        std::fprintf(stderr,
                     "korvanth-publish: %s: is the live release's own copy under another name (a release "
                     "folder made with cp -al?): an edit to it would change what players get; make the "
                     "release folder with cp -a\n",
                     Shown(path).c_str());
    return shared.empty();
}

// An unsigned release over a signed live one: said, and refused.
bool UnsignedOverSigned(const Live& live, const Signer* signer)
{
    SignedParts parts;
    if (signer != nullptr || !SplitSignature(live.manifest, parts))
        return false;
    std::fprintf(
        stderr,
        "korvanth-publish: the live release is signed (key %s) and this one would not be: every updater "
        "built with release keys would refuse it; publish with --sign or --sign-command\n",
        parts.keyId.c_str());
    return true;
}

int DryRun(ReleaseTree& tree, const fs::path& release, const fs::path& server, const PublishOptions& options,
           const Signer* signer)
{
    Live live = ReadLive(server);
    SignedDigestsOfLive(live, signer);
    if (UnsignedOverSigned(live, signer))
        return 1;
    const std::size_t known = KnownUnchanged(tree, release, live, options, signer != nullptr);
    // The other files are read, as the publish would read them, to say
    // which of them it would link rather than copy.
    BuildCounts counts;
    const int code = BuildFiles(tree, fs::path(), live.copies, signer != nullptr, options.quiet, counts);
    if (code != 0)
        return code;
    std::uint64_t bytes = 0;
    std::size_t unchanged = 0;
    for (const ReleaseFile& f : tree.files) {
        std::printf("%s %s\n", f.unchanged ? "link" : "copy", Shown(f.path).c_str());
        bytes += f.unchanged ? 0 : f.size;
        unchanged += f.unchanged ? 1 : 0;
    }
    const std::vector<std::string> dropped = Dropped(live.manifest, tree.files);
    for (const std::string& path : dropped)
        std::printf("remove %s\n", Shown(path).c_str());
    std::vector<unsigned long> doomed;
    if (live.exists && NothingChanged(tree.files, unchanged, live.manifest, signer))
        std::printf("nothing changed: release %s would stay live\n", ReleaseName(live.id).c_str());
    else
        doomed = Superseded(ReleaseIds(server), live.exists, live.id, options.keep);
    for (unsigned long id : doomed)
        std::printf("remove release %s\n", ReleaseName(id).c_str());
    std::printf(
        "dry run: %zu to copy (%llu bytes), %zu to link (%zu of them read to know it), %zu to remove, "
        "%zu earlier releases to remove; nothing was written\n",
        tree.files.size() - unchanged, static_cast<unsigned long long>(bytes), unchanged, unchanged - known,
        dropped.size(), doomed.size());
    return 0;
}

// From the incoming folder to the live release, in the order that keeps
// players whole: on disk, renamed into place, switched, and only then the
// releases it supersedes removed.
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

// The publish proper, once the purge list's file is made; the exit code.
int Publish(const fs::path& release, const fs::path& server, const PublishOptions& options, Signer* signer,
            WholeFile& list)
{
    // Locked before anything is read, so that of two publishes the first
    // started goes live; a server folder still to be made is made only for
    // a release that passes the scan.
    std::error_code error;
    const bool existed = fs::is_directory(server, error);
    if (!options.dryRun && existed && !PrepareServer(server))
        return 2;
    // Taken before the scan: it dates every stamp the scan finds.
    const std::int64_t scanStarted = FileClockSeconds();
    ReleaseTree tree;
    const bool scanned = ScanRelease(release, signer != nullptr, tree);
    struct Closer {
        int fd;
        ~Closer()
        {
            if (fd >= 0)
                close(fd);
        }
    } closer{tree.root};
    if (!scanned)
        return 1;
    std::vector<ReleaseFile>& files = tree.files;
    if (options.dryRun)
        return DryRun(tree, release, server, options, signer);
    if (!existed && !PrepareServer(server))
        return 2;
    Live live = ReadLive(server);
    SignedDigestsOfLive(live, signer);
    if (!Vetted(tree, live))
        return 1;
    if (UnsignedOverSigned(live, signer))
        return 1;
    const bool signing = signer != nullptr;
    const std::vector<unsigned long> ids = ReleaseIds(server);
    // Numbers only go up, so a release number names one release for good.
    const unsigned long id = (ids.empty() ? 0 : ids.back()) + 1;
    const fs::path incoming = server / ReleasesFolder / (IncomingPrefix + ReleaseName(id));
    const std::size_t known = KnownUnchanged(tree, release, live, options, signing);
    if (live.exists && NothingChanged(files, known, live.manifest, signer)) {
        if (!options.quiet)
            std::printf("nothing changed, release %s stays live: 0 copied, %zu unchanged, 0 read\n",
                        ReleaseName(live.id).c_str(), files.size());
        return ReportChanges(list, live.manifest, live.manifest, live.id);
    }

    BuildCounts counts;
    if (mkdir(incoming.c_str(), 0755) != 0 || chmod(incoming.c_str(), 0755) != 0)
        return Fail(incoming, std::strerror(errno));
    int code = BuildFiles(tree, incoming, live.copies, signing, options.quiet, counts);
    const std::string text = ManifestText(files, signing);
    std::string after = text;
    std::string signature, why;
    if (code == 0 && signing && !Sign(*signer, text, signature, why)) {
        std::fprintf(stderr,
                     "korvanth-publish: the manifest could not be signed: %s; nothing was published\n",
                     Shown(why).c_str());
        code = 2;
    }
    if (code == 0 && signing)
        after += SignatureLine(signer->keyId, signature);
    if (code == 0 && after.size() > MaxManifestBytes) {
        std::fprintf(stderr,
                     "korvanth-publish: manifest.txt grew past %llu MiB while the files were read: every "
                     "player's updater would refuse it\n",
                     static_cast<unsigned long long>(MaxManifestBytes >> 20));
        code = 1;
    }
    // Files touched without a change, or an index lost: the same release,
    // now known again.
    if (code == 0 && live.exists && counts.copied == 0 && SameRelease(text, live.manifest, signer)) {
        fs::remove_all(incoming, error);
        RecordIndex(server, live.folder, files, scanStarted);
        if (!options.quiet)
            std::printf("nothing changed, release %s stays live: 0 copied, %zu unchanged, %zu read\n",
                        ReleaseName(live.id).c_str(), files.size(), counts.read);
        return ReportChanges(list, live.manifest, after, live.id);
    }
    if (code == 0)
        code = GoLive(server, incoming, id, after, Superseded(ids, live.exists, live.id, options.keep));
    if (code != 0 && code != LiveButFailed) {
        fs::remove_all(incoming, error);
        return code;
    }
    RecordIndex(server, ReleaseFolder(server, id), files, scanStarted);
    if (!options.quiet) {
        std::uint64_t bytes = 0;
        for (const ReleaseFile& f : files)
            bytes += f.size;
        std::printf("published %zu files (%llu bytes) as release %s%s: %zu copied, %zu unchanged, %zu read\n",
                    files.size(), static_cast<unsigned long long>(bytes), ReleaseName(id).c_str(),
                    signing ? (", signed by key " + signer->keyId).c_str() : "", counts.copied,
                    files.size() - counts.copied, counts.read);
    }
    const int reported = ReportChanges(list, live.manifest, after, id);
    return code != 0 ? code : reported;
}

// Refusals of the server folder itself, before anything is made.
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

}  // namespace

int PublishRelease(const fs::path& release, const fs::path& server, const PublishOptions& options)
{
    WholeFile list;
    Signer signer;
    const bool signing = !options.signKey.empty() || !options.signCommand.empty();
    signer.command = options.signCommand;
    int code = 2;
    // The key is taken, the command's public keys read and the purge list's
    // file made before anything else: none of them can fail later.
    if (RefusedServer(server) == 0 &&
        (options.signKey.empty() || LoadSigningKey(options.signKey, {release, server}, signer)) &&
        LoadPublicKeys(options.releaseKeys, signer.publicKeys) &&
        (options.dryRun || BeginPurgeList(options.purgeList, list)))
        code = Publish(release, server, options, signing ? &signer : nullptr, list);
    AbandonWholeFile(list);
    FreeSigner(signer);
    return code;
}

int RollBack(const fs::path& server, const std::string& purgeList, bool quiet)
{
    std::error_code error;
    if (!fs::is_directory(server / ReleasesFolder, error)) {
        Fail(server, "holds no release to roll back to");
        return 1;
    }
    WholeFile list;
    if (RefusedServer(server) != 0 || !BeginPurgeList(purgeList, list) || !PrepareServer(server)) {
        AbandonWholeFile(list);
        return 2;
    }
    unsigned long live = 0;
    const std::vector<unsigned long> ids = ReleaseIds(server);
    int code = 0;
    if (!LiveRelease(server, live)) {
        code = Fail(server / CurrentLink, "names no release");
    } else if (std::lower_bound(ids.begin(), ids.end(), live) == ids.begin()) {
        Fail(server, "no release before " + ReleaseName(live) + " to roll back to");
        code = 1;
    } else if (!SignedAsLive(ManifestOf(server, live),
                             ManifestOf(server, *(std::lower_bound(ids.begin(), ids.end(), live) - 1)))) {
        Fail(server,
             "the live release " + ReleaseName(live) +
                 " is signed and the one before it is not: every updater built with release keys would "
                 "refuse it; nothing was changed");
        code = 1;
    } else {
        const unsigned long previous = *(std::lower_bound(ids.begin(), ids.end(), live) - 1);
        code = SwitchTo(server, previous);
        if (code != 2) {
            if (!quiet)
                std::printf("rolled back: release %s is live again, in place of %s\n",
                            ReleaseName(previous).c_str(), ReleaseName(live).c_str());
            const int reported = ReportChanges(list, ManifestOf(server, live), ManifestOf(server, previous),
                                               previous);
            code = code != 0 ? code : reported;
        }
    }
    AbandonWholeFile(list);
    return code;
}

int ListReleases(const fs::path& server)
{
    const std::vector<unsigned long> ids = ReleaseIds(server);
    if (ids.empty()) {
        Fail(server, "holds no release");
        return 1;
    }
    unsigned long live = 0;
    const bool hasLive = LiveRelease(server, live);
    std::printf("release  published         files           bytes  signed by\n");
    for (unsigned long id : ids) {
        const fs::path manifest = ReleaseFolder(server, id) / "manifest.txt";
        std::uint64_t bytes = 0;
        const std::string manifestText = ManifestOf(server, id);
        const std::vector<ManifestEntry> entries = ParseManifest(manifestText);
        SignedParts signature;
        const std::string signedBy = SplitSignature(manifestText, signature) ? signature.keyId : "unsigned";
        for (const ManifestEntry& e : entries)
            bytes += e.size;
        struct stat info;
        char date[32] = "?";
        struct tm local;
        if (stat(manifest.c_str(), &info) == 0 && localtime_r(&info.st_mtime, &local) != nullptr)
            std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M", &local);
        std::printf("%s   %-16s  %6zu  %14llu  %-16s%s\n", ReleaseName(id).c_str(), date, entries.size(),
                    static_cast<unsigned long long>(bytes), signedBy.c_str(),
                    hasLive && id == live ? "  live" : "");
    }
    return 0;
}

fs::path LiveFolder(const fs::path& server)
{
    std::error_code error;
    return fs::is_symlink(server / CurrentLink, error) ? server / CurrentLink : server;
}
