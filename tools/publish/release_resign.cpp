// Signing the live release again: the same files, the same serial, a new
// expiry. Meant for a timer, so that a release never runs out while it is
// live; only its manifest.txt is replaced, by one rename, and no release is
// made or pruned. With an offline key it is staged like a release
// (release_staging.h) and goes live with the signature brought back.
#include "release_store.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "publish_trust.h"
#include "purge_list.h"
#include "release_updater.h"
#include "release_staging.h"
#include "server_layout.h"
#include "utc_time.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

int ResignLive(const fs::path& server, const PublishOptions& options, Signer& signer, WholeFile& list)
{
    unsigned long live = 0;
    if (!LiveRelease(server, live)) {
        Fail(server / CurrentLink, "names no release");
        return 1;
    }
    const std::string liveText = ManifestOf(server, live);
    SignedBase base;
    int code = 0;
    if (!ReadSignedBase(server, true, live, liveText, signer, options.newKey, base, code))
        return code;
    // Only the release the tool made live, as it made it, is signed again:
    // a copy of an older one put under a newer number would live on.
    if (base.moved || !base.liveVerified || !MadeHere(base, live, liveText)) {
        Fail(server, base.moved ? "its current link was changed by someone else: see --list, then publish"
                     : !base.liveVerified
                         ? "the live release " + ReleaseName(live) +
                               " is not signed by a key given (or the one korvanth-publish last "
                               "signed with): nothing to sign again; nothing was changed"
                         : "korvanth-publish's state (for this user) has no record of making "
                           "release " +
                               ReleaseName(live) +
                               " live as it is: publish its release folder instead; nothing was "
                               "changed");
        return 1;
    }
    // With a new key, the updater the release carries must take it.
    CarriedUpdater updater;
    if (!ChooseUpdater("", base, ReleaseFolder(server, live) / "files", signer.keyId, updater))
        return 1;
    DroppedList dropped;
    for (const DroppedFile& d : base.live.dropped)
        dropped.push_back({std::string(d.path), std::string(d.md5)});
    const ReleaseTerms terms = {base.live.serial, std::time(nullptr) + options.expiresIn};
    const std::string text = SignedText(FilesOf(base.live), terms, dropped);
    if (!options.stage.empty())
        return StageRelease(server, fs::path(), live, text, options.stage, base, signer, terms.serial,
                            base.state.updaterSha256, options.quiet);
    std::string signature, why;
    if (!Sign(signer, text, signature, why)) {
        Fail(server, "the manifest could not be signed: " + why + "; nothing was changed");
        return 2;
    }
    const std::string after = text + SignatureLine(signer.keyId, signature);
    code = ReplaceManifest(server, live, after);
    if (code == 2)
        return code;
    const auto made = base.state.made.find(live);
    if (!RecordSignedLive(server, base, signer, live, terms.serial, after, made->second.filesOf,
                          base.state.indexSha256) &&
        code == 0)
        code = LiveButFailed;
    if (!options.quiet)
        std::printf("release %s signed again by key %s%s: valid until %s\n", ReleaseName(live).c_str(),
                    signer.keyId.c_str(), RotationNote(base, signer).c_str(),
                    UtcTimeText(terms.expires).c_str());
    const int reported = ReportChanges(list, liveText, after, live);
    return code != 0 ? code : reported;
}

}  // namespace

int Resign(const fs::path& server, const PublishOptions& options)
{
    WholeFile list;
    Signer signer;
    int code = 2;
    if (RefusedServer(server) == 0 &&
        (options.stage.empty() ? OpenSigner(options, {server}, signer)
                               : OpenStagingSigner(options.releaseKeys, signer)) &&
        BeginPurgeList(options.purgeList, list) && PrepareServer(server))
        code = ResignLive(server, options, signer, list);
    AbandonWholeFile(list);
    FreeSigner(signer);
    return code;
}
