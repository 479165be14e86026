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
#include "publish_trust.h"
#include "release_signing.h"
#include "release_staging.h"
#include "release_updater.h"
#include "server_layout.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// The manifest of an unsigned release, as the updater reads it.
std::string ManifestText(const std::vector<ReleaseFile>& files)
{
    std::string text;
    for (const ReleaseFile& f : files)
        text += ManifestLine(f.md5, f.size, f.path);
    return text;
}

// The index of the release now live in folder, written last: every link
// made or removed before moves the copies' stamps.
std::string RecordIndex(const fs::path& server, const fs::path& folder, const std::vector<ReleaseFile>& files,
                        std::int64_t scanStarted)
{
    ReleaseIndex index;
    index.startedSeconds = scanStarted;
    for (const ReleaseFile& f : files) {
        struct stat info;
        // The release record is written, not read from the release folder.
        if (!f.source.empty() && lstat((folder / "files" / f.path).c_str(), &info) == 0)
            index.entries[f.path] = IndexEntry{f.stamp, StampOf(info), f.md5, f.sha256};
    }
    std::string sha256;
    SaveIndex(server, index, sha256);
    return sha256;
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

// What a new release is built against, and (signing) what vouches for it.
struct Live {
    bool exists = false;
    unsigned long id = 0;
    fs::path folder;  // empty when there is no live release
    std::string manifest;
    LiveCopies copies;
    SignedBase base;
};

// Whether files are the live release's: the same manifest, or, signed, the
// same files in a live release a pinned key vouches for. Making a release
// of it would only push a real earlier release out of those kept for a
// rollback.
bool SameAsLive(const std::vector<ReleaseFile>& files, const Live& live, const Signer* signer,
                const CarriedUpdater& updater)
{
    if (signer == nullptr)
        return ManifestText(files) == live.manifest;
    std::vector<ReleaseFile> all = files;
    if (updater.carried)
        all.insert(
            std::upper_bound(all.begin(), all.end(), updater.file,
                             [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; }),
            updater.file);
    return live.base.liveVerified && !live.base.moved && live.base.pinnedKey == signer->keyId &&
           SameFiles(live.base.live, all);
}

// A republish of what is live, found without reading a file.
bool NothingChanged(const std::vector<ReleaseFile>& files, std::size_t unchanged, const Live& live,
                    const Signer* signer, const CarriedUpdater& updater)
{
    return live.exists && unchanged == files.size() && SameAsLive(files, live, signer, updater);
}

// The live release and, signing, what a signed publish may take of it
// (publish_trust.h); false with the exit code when it may not go on.
bool ReadLive(const fs::path& server, const Signer* signer, bool newKey, Live& live, int& code)
{
    live.exists = LiveRelease(server, live.id);
    if (live.exists) {
        live.folder = ReleaseFolder(server, live.id);
        live.manifest = ManifestOf(server, live.id);
        live.copies.files = live.folder / "files";
        for (const ManifestEntry& e : ParseManifest(live.manifest))
            live.copies.listed[e.path] = e;
    }
    code = 0;
    if (signer != nullptr &&
        !ReadSignedBase(server, live.exists, live.id, live.manifest, *signer, newKey, live.base, code))
        return false;
    // Signing, only the index the tool's own state vouches for is taken,
    // and only the SHA-256 a pinned key signed.
    if (live.exists && (signer == nullptr || !live.base.moved))
        live.copies.index = LoadIndex(server, signer != nullptr ? &live.base.state.indexSha256 : nullptr);
    if (live.base.liveVerified)
        live.copies.signedSha256 = live.base.live.digests;
    return true;
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

// The manifest of the release, all but a signature. Signing, the release
// gets its terms, its record and the updater it carries (both put into
// incoming's files/ unless incoming is empty), and the files dropped since
// the live release, when a pinned key vouches for that.
std::string Compose(std::vector<ReleaseFile>& files, const Live& live, const Signer* signer,
                    const PublishOptions& options, const CarriedUpdater& updater, const fs::path& incoming,
                    ReleaseTerms& terms)
{
    if (signer == nullptr)
        return ManifestText(files);
    const SignedBase& base = live.base;
    const std::int64_t now = std::time(nullptr);
    terms.serial = NextSerial(std::max(base.state.serial, base.liveVerified ? base.live.serial : 0), now);
    terms.expires = now + options.expiresIn;
    files.push_back(RecordFile(terms.serial));
    if (updater.carried)
        files.push_back(updater.file);
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    if (!incoming.empty() &&
        (!WriteRecord(incoming / "files", terms.serial) ||
         (updater.carried && !PlaceUpdater(updater, live.copies.files, incoming / "files"))))
        return "";
    return SignedText(files, terms, DroppedSince(base.liveVerified ? &base.live : nullptr, files));
}

int DryRun(ReleaseTree& tree, const fs::path& release, const fs::path& server, const PublishOptions& options,
           const Signer* signer)
{
    Live live;
    int code = 0;
    if (!ReadLive(server, signer, options.newKey, live, code))
        return code;
    if (UnsignedOverSigned(live, signer))
        return 1;
    const std::size_t known = KnownUnchanged(tree, release, live, options, signer != nullptr);
    // The other files are read, as the publish would read them, to say
    // which of them it would link rather than copy.
    BuildCounts counts;
    code = BuildFiles(tree, fs::path(), live.copies, signer != nullptr, options.quiet, counts);
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
    CarriedUpdater updater;
    if (signer != nullptr &&
        !ChooseUpdater(options.updater, live.base, live.copies.files, signer->keyId, updater))
        return 1;
    if (NothingChanged(tree.files, unchanged, live, signer, updater))
        std::printf("nothing changed: release %s would stay live\n", ReleaseName(live.id).c_str());
    else if (!live.base.moved)
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
    Live live;
    int code = 0;
    if (!ReadLive(server, signer, options.newKey, live, code))
        return code;
    if (!Vetted(tree, live) || UnsignedOverSigned(live, signer))
        return 1;
    const bool signing = signer != nullptr;
    CarriedUpdater updater;
    if (signing && !ChooseUpdater(options.updater, live.base, live.copies.files, signer->keyId, updater))
        return 1;
    const std::vector<unsigned long> ids = ReleaseIds(server);
    // Numbers only go up, so a release number names one release for good.
    const unsigned long id = std::max(ids.empty() ? 0 : ids.back(), live.base.state.live) + 1;
    const fs::path incoming = IncomingFolder(server, id);
    const std::size_t known = KnownUnchanged(tree, release, live, options, signing);
    if (NothingChanged(files, known, live, signer, updater)) {
        if (!options.quiet)
            std::printf("nothing changed, release %s stays live: 0 copied, %zu unchanged, 0 read\n",
                        ReleaseName(live.id).c_str(), files.size());
        return ReportChanges(list, live.manifest, live.manifest, live.id);
    }

    BuildCounts counts;
    if (mkdir(incoming.c_str(), 0755) != 0 || chmod(incoming.c_str(), 0755) != 0)
        return Fail(incoming, std::strerror(errno));
    code = BuildFiles(tree, incoming, live.copies, signing, options.quiet, counts);
    // Files touched without a change, or an index lost: the same release,
    // now known again.
    if (code == 0 && live.exists && counts.copied == 0 && SameAsLive(files, live, signer, updater)) {
        fs::remove_all(incoming, error);
        const std::string index = RecordIndex(server, live.folder, files, scanStarted);
        const auto made = live.base.state.made.find(live.id);
        const bool recorded = !signing ||
                              RecordSignedLive(
                                  server, live.base, *signer, live.id, live.base.live.serial, live.manifest,
                                  made == live.base.state.made.end() ? live.id : made->second.filesOf, index);
        if (!options.quiet)
            std::printf("nothing changed, release %s stays live: 0 copied, %zu unchanged, %zu read\n",
                        ReleaseName(live.id).c_str(), files.size(), counts.read);
        const int reported = ReportChanges(list, live.manifest, live.manifest, live.id);
        return reported != 0 ? reported : recorded ? 0 : LiveButFailed;
    }
    ReleaseTerms terms;
    const std::string text = code == 0 ? Compose(files, live, signer, options, updater, incoming, terms) : "";
    if (code == 0 && text.empty())
        code = Fail(incoming / "files", std::strerror(errno));
    std::string after = text;
    std::string signature, why;
    // The index stays the live release's: the staged copies are not live.
    if (code == 0 && !options.stage.empty()) {
        code = StageRelease(server, incoming, id, text, options.stage, live.base, *signer, terms.serial,
                            updater.file.sha256, options.quiet);
        if (code != 0)
            fs::remove_all(incoming, error);
        return code;
    }
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
    // Signing, a release is never pruned on the word of a link someone
    // else moved.
    if (code == 0)
        code = GoLive(server, incoming, id, after,
                      live.base.moved ? std::vector<unsigned long>()
                                      : Superseded(ids, live.exists, live.id, options.keep));
    if (code != 0 && code != LiveButFailed) {
        fs::remove_all(incoming, error);
        return code;
    }
    const std::string index = RecordIndex(server, ReleaseFolder(server, id), files, scanStarted);
    live.base.state.updaterSha256 = updater.file.sha256;
    if (signing && !RecordSignedLive(server, live.base, *signer, id, terms.serial, after, id, index) &&
        code == 0)
        code = LiveButFailed;
    if (!options.quiet) {
        // The release folder's files: the record is the tool's own.
        std::uint64_t bytes = 0;
        std::size_t count = 0;
        for (const ReleaseFile& f : files) {
            bytes += f.source.empty() ? 0 : f.size;
            count += f.source.empty() ? 0 : 1;
        }
        std::printf("published %zu files (%llu bytes) as release %s%s: %zu copied, %zu unchanged, %zu read\n",
                    count, static_cast<unsigned long long>(bytes), ReleaseName(id).c_str(),
                    signing ? (", signed by key " + signer->keyId + RotationNote(live.base, *signer)).c_str()
                            : "",
                    counts.copied, count - counts.copied, counts.read);
    }
    const int reported = ReportChanges(list, live.manifest, after, id);
    return code != 0 ? code : reported;
}

}  // namespace

int PublishRelease(const fs::path& release, const fs::path& server, const PublishOptions& options)
{
    WholeFile list;
    Signer signer;
    int code = 2;
    // The signer is tried and the purge list's file made before anything
    // else: none of them can fail later. A release staged is signed
    // elsewhere, with the one key given.
    bool ready = RefusedServer(server) == 0;
    if (ready && !options.stage.empty())
        ready = OpenStagingSigner(options.releaseKeys, signer);
    else if (ready && IsSigning(options))
        ready = OpenSigner(options, {release, server}, signer);
    if (ready && (options.dryRun || BeginPurgeList(options.purgeList, list)))
        code = Publish(release, server, options, IsSigning(options) ? &signer : nullptr, list);
    AbandonWholeFile(list);
    FreeSigner(signer);
    return code;
}
