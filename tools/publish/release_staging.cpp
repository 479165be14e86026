// A staged release waits below releases/ under a name nothing serves and no
// run clears, until the signature for it comes back. Only one waits at a
// time: staging again replaces it, and a release that went live meanwhile
// makes it stale.
#include "release_staging.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "file_digest.h"
#include "file_md5.h"
#include "purge_list.h"
#include "release_store.h"
#include "server_layout.h"
#include "shown_text.h"
#include "utc_time.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char StagedPrefix[] = ".staged-";

fs::path StagedFolder(const fs::path& server, unsigned long id)
{
    return server / ReleasesFolder / (StagedPrefix + ReleaseName(id));
}

int Refused(const fs::path& where, const std::string& why)
{
    Fail(where, why);
    return 1;
}

// The staged release's bytes as the tool kept them, and the signature line
// in signatureFile, checked against the key it was staged for; the
// manifest they make, or an exit code.
int SignedStaged(const fs::path& server, const PublisherState& state, const fs::path& signatureFile,
                 std::string& manifest, std::int64_t& expires)
{
    std::string text, line, digest;
    if (!ReadWholeFile(StagedTextFile(server), text, MaxManifestBytes) || !Sha256OfText(text, digest) ||
        digest != state.stagedSha256)
        return Refused(server, "the bytes of staged release " + ReleaseName(state.staged) +
                                   " are gone or were changed: stage it again");
    if (!ReadWholeFile(signatureFile, line, 4096))
        return Fail(signatureFile, std::strerror(errno));
    manifest = text + line;
    const std::vector<PublicKey> keys = {KeyFromState(state.stagedKeyId, state.stagedKeyDer)};
    const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    SignedRelease release;
    if (!CheckSignedManifest(manifest, views.data(), views.size(), VerifyWithOpenSsl, release))
        return Refused(signatureFile, "is no signature by key " + state.stagedKeyId + " of staged release " +
                                          ReleaseName(state.staged) +
                                          " (korvanth-publish --sign-staged makes it)");
    if (release.expires <= std::time(nullptr))
        return Refused(signatureFile, "its release's signature ran out at " + UtcTimeText(release.expires) +
                                          " before it went live: stage it again");
    expires = release.expires;
    return 0;
}

}  // namespace

bool OpenStagingSigner(const std::vector<std::string>& releaseKeys, Signer& signer)
{
    if (releaseKeys.size() != 1) {
        std::fprintf(stderr,
                     "korvanth-publish: --stage takes one --release-key: the public half of the key that "
                     "will sign\n");
        return false;
    }
    if (!LoadPublicKeys(releaseKeys, signer.publicKeys))
        return false;
    signer.keyId = signer.publicKeys[0].id;
    return true;
}

int StageRelease(const fs::path& server, const fs::path& incoming, unsigned long id, const std::string& text,
                 const std::string& toSign, SignedBase& base, const Signer& signer, std::uint64_t serial,
                 const std::string& updaterSha256, bool quiet)
{
    // The bytes to sign are written first: a stage that fails leaves the
    // one staged before it as it was. Never into the server folder, which
    // serves what it holds.
    std::error_code error;
    const fs::path real = fs::weakly_canonical(toSign, error), served = fs::weakly_canonical(server, error);
    if ((real.string() + "/").rfind(served.string() + "/", 0) == 0)
        return Refused(toSign, "lies in the server folder, which serves it: write it elsewhere");
    if (!WriteWholeFile(toSign, text, 0644) || !WriteWholeFile(StagedTextFile(server).string(), text, 0600))
        return Fail(toSign, std::strerror(errno));
    for (fs::directory_iterator it(server / ReleasesFolder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string().rfind(StagedPrefix, 0) == 0)
            fs::remove_all(it->path(), error);
    }
    if (!incoming.empty())
        fs::rename(incoming, StagedFolder(server, id), error);
    if (error)
        return Fail(incoming, error.message());
    PublisherState& state = base.state;
    unsigned long live = 0;
    state.staged = id;
    state.stagedOver = LiveRelease(server, live) ? live : 0;
    state.stagedSerial = serial;
    Sha256OfText(text, state.stagedSha256);
    state.stagedKeyId = signer.keyId;
    state.stagedKeyDer = KeyDerHex(signer);
    state.stagedIndexSha256 = state.indexSha256;
    state.stagedUpdaterSha256 = updaterSha256;
    if (!SaveState(server, state))
        return 2;
    if (!quiet)
        std::printf("staged release %s (serial %llu), for key %s: nothing is live yet. Its bytes to sign, "
                    "SHA-256 %s,\nare in %s: sign them where the key is (check that it shows this SHA-256):\n"
                    "  korvanth-publish --sign-staged KEY %s\nthen bring %s.sig back and run:\n"
                    "  korvanth-publish --go-live %s.sig %s\n",
                    ReleaseName(id).c_str(), static_cast<unsigned long long>(serial), signer.keyId.c_str(),
                    state.stagedSha256.c_str(), Shown(toSign).c_str(), Shown(toSign).c_str(),
                    Shown(toSign).c_str(), Shown(toSign).c_str(), Shown(server.string()).c_str());
    return 0;
}

int SignStaged(const std::string& key, const fs::path& toSign)
{
    std::string text;
    SignedRelease release;
    if (!ReadWholeFile(toSign, text, MaxManifestBytes))
        return Fail(toSign, std::strerror(errno));
    if (!SignedEntries(text, release))
        return Refused(toSign,
                       "is no staged release (korvanth-publish --stage writes one): nothing was signed");
    // What no stage makes: a serial from the future would hold back every
    // later release, an expiry past the longest one would outlive a freeze.
    const std::int64_t now = std::time(nullptr);
    if (release.serial > static_cast<std::uint64_t>(now) + 86400 ||
        release.expires > now + MaxExpiresIn + 86400)
        return Refused(toSign,
                       "names serial " + std::to_string(release.serial) + " and an expiry of " +
                           UtcTimeText(release.expires) +
                           ", which no stage makes (or this machine's clock is wrong): nothing was signed");
    std::string digest;
    Sha256OfText(text, digest);
    Signer signer;
    std::string signature, why;
    if (!LoadSigningKey(key, {}, signer)) {
        FreeSigner(signer);
        return 2;
    }
    std::uint64_t bytes = 0;
    for (const ManifestEntry& e : release.entries)
        bytes += e.size;
    std::printf(
        "bytes to sign: SHA-256 %s (the one --stage showed?)\nrelease of %zu files (%llu bytes), serial %llu "
        "(made %s), valid until %s, %s KorvanthUpdater.exe, %zu dropped files listed\n",
        digest.c_str(), release.entries.size(), static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(release.serial),
        UtcTimeText(static_cast<std::int64_t>(release.serial)).c_str(), UtcTimeText(release.expires).c_str(),
        FindSignedDigest(release.digests, UpdaterFileName) != nullptr ? "carrying" : "without",
        release.dropped.size());
    const bool signedIt = Sign(signer, text, signature, why) &&
                          WriteWholeFile(toSign.string() + ".sig", SignatureLine(signer.keyId, signature),
                                         0644);
    if (!signedIt)
        Fail(toSign, why.empty() ? std::strerror(errno) : why);
    else
        std::printf(
            "signed by key %s: carry %s.sig back and run korvanth-publish --go-live %s.sig SERVER_DIR\n",
            signer.keyId.c_str(), Shown(toSign.string()).c_str(), Shown(toSign.string()).c_str());
    FreeSigner(signer);
    return signedIt ? 0 : 2;
}

int GoLiveStaged(const fs::path& signatureFile, const fs::path& server, const std::string& purgeList,
                 std::size_t keep, bool quiet)
{
    WholeFile list;
    PublisherState state;
    std::string manifest;
    std::int64_t expires = 0;
    unsigned long live = 0;
    int code = 2;
    if (RefusedServer(server) != 0 || !BeginPurgeList(purgeList, list) || !PrepareServer(server) ||
        !LoadState(server, state)) {
        AbandonWholeFile(list);
        return 2;
    }
    const bool hasLive = LiveRelease(server, live);
    std::error_code error;
    // A staged re-signing has no folder: the live release is its files.
    const bool resigning = state.staged != 0 && state.staged == state.stagedOver;
    if (state.staged == 0 || (!resigning && !fs::is_directory(StagedFolder(server, state.staged), error)))
        code = Refused(server, "holds no staged release (korvanth-publish --stage makes one)");
    else if ((hasLive ? live : 0) != state.stagedOver)
        code = Refused(server, "the live release changed after release " + ReleaseName(state.staged) +
                                   " was staged: stage it again");
    else
        code = SignedStaged(server, state, signatureFile, manifest, expires);
    if (code == 0) {
        const std::string before = hasLive ? ManifestOf(server, live) : "";
        code = resigning ? ReplaceManifest(server, live, manifest)
                         : GoLive(server, StagedFolder(server, state.staged), state.staged, manifest,
                                  Superseded(ReleaseIds(server), hasLive, live, keep));
        if (code != 2) {
            const unsigned long id = state.staged;
            SignedBase base;
            base.state = state;
            base.state.staged = 0;
            base.state.updaterSha256 = state.stagedUpdaterSha256;
            Signer signer;
            signer.keyId = state.stagedKeyId;
            signer.publicKeys = {KeyFromState(state.stagedKeyId, state.stagedKeyDer)};
            const auto made = state.made.find(id);
            if (!RecordSignedLive(server, base, signer, id, state.stagedSerial, manifest,
                                  made == state.made.end() ? id : made->second.filesOf,
                                  state.stagedIndexSha256) &&
                code == 0)
                code = LiveButFailed;
            fs::remove(StagedTextFile(server), error);
            if (!quiet)
                std::printf("published release %s, signed offline by key %s, valid until %s\n",
                            ReleaseName(id).c_str(), signer.keyId.c_str(), UtcTimeText(expires).c_str());
            const int reported = ReportChanges(list, before, manifest, id);
            code = code != 0 ? code : reported;
        }
    }
    AbandonWholeFile(list);
    return code;
}
