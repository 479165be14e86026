// A rollback: the release before the live one made live again. Unsigned, by
// the same switch a publish ends with, nothing built and nothing pruned, so
// that a release rolled back from stays until the next publish supersedes
// it. Signed, the earlier release's files go live as a new release with a
// new serial and signature: players' updaters take no release older than
// the one they have, so the studio's own step back is a step forward in
// serials, made of the earlier release's own copies.
#include "release_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "publish_trust.h"
#include "purge_list.h"
#include "release_updater.h"
#include "signed_manifest.h"
#include "server_layout.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// The release whose files a release holds: a signed rollback's are an
// earlier one's.
unsigned long FilesOfRelease(const PublisherState& state, unsigned long id)
{
    const auto found = state.made.find(id);
    return found == state.made.end() ? id : found->second.filesOf;
}

// The release before target, made live as release id (after everything in
// the folder), signed anew; the exit code.
int SignedRollBack(const fs::path& server, const PublishOptions& options, Signer& signer, unsigned long live,
                   WholeFile& list)
{
    const std::string liveText = ManifestOf(server, live);
    SignedBase base;
    int code = 0;
    if (!ReadSignedBase(server, true, live, liveText, signer, options.newKey, base, code))
        return code;
    // Only releases the tool made here, with the very manifests it wrote,
    // are signed anew: an older signed manifest put under a newer number
    // would otherwise come back with a higher serial.
    if (base.moved || !MadeHere(base, live, liveText)) {
        Fail(server, base.moved
                         ? "its current link was changed by someone else: see --list, then publish"
                         : "korvanth-publish's state (for this user) has no record of making release " +
                               ReleaseName(live) +
                               " live: a signed rollback goes only to releases it made; "
                               "publish the earlier release folder instead");
        return 1;
    }
    const std::vector<unsigned long> ids = ReleaseIds(server);
    const auto before = std::lower_bound(ids.begin(), ids.end(), FilesOfRelease(base.state, live));
    if (before == ids.begin()) {
        Fail(server, "no release before " + ReleaseName(live) + "'s files to roll back to");
        return 1;
    }
    const unsigned long target = *(before - 1);
    const std::string targetText = ManifestOf(server, target);
    const std::vector<PublicKey> keys = TrustedKeys(base, signer);
    const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    SignedRelease earlier;
    if (!MadeHere(base, target, targetText) ||
        !CheckSignedManifest(targetText, views.data(), views.size(), VerifyWithOpenSsl, earlier)) {
        Fail(server,
             "release " + ReleaseName(target) +
                 " is not a signed release korvanth-publish made here, as it made it: its files cannot be "
                 "signed anew on its word; publish its release folder instead");
        return 1;
    }
    // The earlier release's files, but the record and the updater: the
    // updater players have now stays (an earlier one may take a key since
    // revoked).
    std::vector<ReleaseFile> files = FilesOf(earlier);
    std::vector<std::string> paths;
    files.erase(std::remove_if(files.begin(), files.end(),
                               [&](const ReleaseFile& f) {
                                   const bool own = f.path == ReleaseRecordName || f.path == UpdaterFileName;
                                   if (!own)
                                       paths.push_back(f.path);
                                   return own;
                               }),
                files.end());
    const fs::path liveFiles = ReleaseFolder(server, live) / "files";
    CarriedUpdater updater;
    if (!ChooseUpdater("", base, liveFiles, signer.keyId, updater))
        return 1;
    if (updater.carried)
        files.push_back(updater.file);
    const std::int64_t now = std::time(nullptr);
    const ReleaseTerms terms = {NextSerial(std::max(base.state.serial, base.live.serial), now),
                                now + options.expiresIn};
    files.push_back(RecordFile(terms.serial));
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    const unsigned long id = std::max(ids.back(), base.state.live) + 1;
    const fs::path incoming = IncomingFolder(server, id);
    const std::string text = SignedText(files, terms,
                                        DroppedSince(base.liveVerified ? &base.live : nullptr, files));
    std::string signature, why;
    code = LinkRelease(server, target, incoming, paths);
    if (code == 0 && (!WriteRecord(incoming / "files", terms.serial) ||
                      (updater.carried && !PlaceUpdater(updater, liveFiles, incoming / "files"))))
        code = Fail(incoming, std::strerror(errno));
    if (code == 0 && !Sign(signer, text, signature, why))
        code = Fail(server, "the manifest could not be signed: " + why + "; nothing was changed");
    const std::string after = text + SignatureLine(signer.keyId, signature);
    if (code == 0)
        code = GoLive(server, incoming, id, after, {});
    std::error_code error;
    if (code != 0 && code != LiveButFailed) {
        fs::remove_all(incoming, error);
        return code;
    }
    if (!RecordSignedLive(server, base, signer, id, terms.serial, after, FilesOfRelease(base.state, target),
                          base.state.indexSha256) &&
        code == 0)
        code = LiveButFailed;
    if (!options.quiet)
        std::printf("rolled back: the files of release %s are live again as release %s, signed by key %s%s, "
                    "in place of %s\n",
                    ReleaseName(target).c_str(), ReleaseName(id).c_str(), signer.keyId.c_str(),
                    RotationNote(base, signer).c_str(), ReleaseName(live).c_str());
    const int reported = ReportChanges(list, liveText, after, id);
    return code != 0 ? code : reported;
}

}  // namespace

int RollBack(const fs::path& server, const PublishOptions& options)
{
    std::error_code error;
    if (!fs::is_directory(server / ReleasesFolder, error)) {
        Fail(server, "holds no release to roll back to");
        return 1;
    }
    WholeFile list;
    Signer signer;
    if (RefusedServer(server) != 0 || (IsSigning(options) && !OpenSigner(options, {server}, signer)) ||
        !BeginPurgeList(options.purgeList, list) || !PrepareServer(server)) {
        AbandonWholeFile(list);
        FreeSigner(signer);
        return 2;
    }
    unsigned long live = 0;
    const std::vector<unsigned long> ids = ReleaseIds(server);
    SignedParts parts;
    int code = 0;
    if (!LiveRelease(server, live)) {
        code = Fail(server / CurrentLink, "names no release");
    } else if (SplitSignature(ManifestOf(server, live), parts) && !IsSigning(options)) {
        Fail(server,
             "the live release is signed (key " + parts.keyId +
                 "): a rollback makes the earlier release's files live as a new release, signed anew so "
                 "that players' updaters take it; give --sign KEY, or --sign-command CMD --release-key "
                 "PUB; nothing was changed");
        code = 1;
    } else if (IsSigning(options)) {
        code = SignedRollBack(server, options, signer, live, list);
    } else if (std::lower_bound(ids.begin(), ids.end(), live) == ids.begin()) {
        Fail(server, "no release before " + ReleaseName(live) + " to roll back to");
        code = 1;
    } else {
        const unsigned long previous = *(std::lower_bound(ids.begin(), ids.end(), live) - 1);
        code = SwitchTo(server, previous);
        if (code != 2) {
            if (!options.quiet)
                std::printf("rolled back: release %s is live again, in place of %s\n",
                            ReleaseName(previous).c_str(), ReleaseName(live).c_str());
            const int reported = ReportChanges(list, ManifestOf(server, live), ManifestOf(server, previous),
                                               previous);
            code = code != 0 ? code : reported;
        }
    }
    AbandonWholeFile(list);
    FreeSigner(signer);
    return code;
}
