// A publish: the release folder read, checked against the live release, and
// built beside it in the server folder's layout (server_layout.h), or found
// to be the live release already. Unchanged files are hard links to the live
// release's copies, read-only, so that a republish costs little more than
// the files that changed and an edit in place fails instead of reaching
// every release.
#include "release_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
#include "server_layout.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

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
    const fs::path incoming = IncomingFolder(server, id);
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
