// The live release is checked with the keys the signer brings and with the
// key the state says the tool last signed with, so that a rotation still
// carries the earlier releases' dropped files forward; a live manifest no
// pinned key vouches for is read for nothing but its key id.
#include "publish_trust.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstdio>

#include "file_digest.h"
#include "file_md5.h"
#include "server_layout.h"
#include "shown_text.h"

namespace fs = std::filesystem;

namespace {

std::string FromHex(const std::string& hex)
{
    // A damaged state reads as no key: never a wrong one.
    std::string bytes;
    for (std::string::size_type i = 0; i + 1 < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return "";
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string ManifestSha256(const std::string& text)
{
    std::string digest;
    Sha256OfText(text, digest);
    return digest;
}

}  // namespace

bool ReadSignedBase(const fs::path& server, bool hasLive, unsigned long liveId, const std::string& liveText,
                    const Signer& signer, bool newKey, SignedBase& base, int& code)
{
    code = 2;
    if (!LoadState(server, base.state))
        return false;
    SignedParts parts;
    const bool liveSigned = hasLive && SplitSignature(liveText, parts);
    // The state's word first: a live manifest anyone could have put there
    // names whatever key its writer likes.
    base.pinnedKey = !base.state.keyId.empty() ? base.state.keyId : liveSigned ? parts.keyId : "";
    if (base.state.keyId == base.pinnedKey)
        base.pinnedDer = FromHex(base.state.keyDer);
    const std::vector<PublicKey> keys = TrustedKeys(base, signer);
    const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    base.liveVerified = liveSigned && CheckSignedManifest(liveText, views.data(), views.size(),
                                                          VerifyWithOpenSsl, base.live);
    // "current" is not the release the tool made live last, or that
    // release's manifest is not the one it wrote: someone else moved the
    // link (back, or forward to a copy of an older release) or replaced it.
    const auto made = base.state.made.find(liveId);
    base.moved = base.state.live != 0 &&
                 (!hasLive || liveId != base.state.live ||
                  (made != base.state.made.end() && made->second.manifestSha256 != ManifestSha256(liveText)));
    if (base.moved)
        std::fprintf(stderr,
                     "korvanth-publish: warning: %s names release %s, but korvanth-publish last made release "
                     "%s live, with another manifest: someone else changed the server folder; every file is "
                     "read again, and no release is removed\n",
                     Shown((server / CurrentLink).string()).c_str(),
                     hasLive ? ReleaseName(liveId).c_str() : "none", ReleaseName(base.state.live).c_str());
    code = 1;
    if (!base.pinnedKey.empty() && base.pinnedKey != signer.keyId && !newKey) {
        std::fprintf(
            stderr,
            "korvanth-publish: the live release is signed with key %s and this one would be signed "
            "with key %s: every updater that knows only %s would refuse it, and its players keep the "
            "release they have; if this is a key rotation, give --new-key (docs/hosting.md, section "
            "9); nothing was changed\n",
            base.pinnedKey.c_str(), signer.keyId.c_str(), base.pinnedKey.c_str());
        return false;
    }
    code = 0;
    return true;
}

bool RecordSignedLive(const fs::path& server, SignedBase& base, const Signer& signer, unsigned long id,
                      std::uint64_t serial, const std::string& manifest, unsigned long filesOf,
                      const std::string& indexSha256)
{
    PublisherState& state = base.state;
    state.serial = std::max(state.serial, serial);
    state.live = id;
    state.keyId = signer.keyId;
    state.keyDer = KeyDerHex(signer);
    state.indexSha256 = indexSha256;
    state.made[id] = {ManifestSha256(manifest), filesOf};
    // Only releases still there are worth remembering.
    const std::vector<unsigned long> kept = ReleaseIds(server);
    for (auto it = state.made.begin(); it != state.made.end();)
        it = std::binary_search(kept.begin(), kept.end(), it->first) ? std::next(it) : state.made.erase(it);
    if (SaveState(server, state))
        return true;
    std::fprintf(stderr,
                 "korvanth-publish: release %s is live, but korvanth-publish's state was not written: "
                 "the next signed publish reads every file, and a rollback or --resign is refused until "
                 "one has run\n",
                 ReleaseName(id).c_str());
    return false;
}

std::vector<PublicKey> TrustedKeys(const SignedBase& base, const Signer& signer)
{
    std::vector<PublicKey> keys = signer.publicKeys;
    if (!base.pinnedDer.empty())
        keys.push_back({base.pinnedKey, base.pinnedDer});
    return keys;
}

std::string KeyDerHex(const Signer& signer)
{
    std::string hex;
    for (const PublicKey& key : signer.publicKeys) {
        if (key.id == signer.keyId)
            DigestText(reinterpret_cast<const unsigned char*>(key.der.data()), key.der.size(), hex);
    }
    return hex;
}

bool MadeHere(const SignedBase& base, unsigned long id, const std::string& manifest)
{
    const auto made = base.state.made.find(id);
    return made != base.state.made.end() && made->second.manifestSha256 == ManifestSha256(manifest);
}

PublicKey KeyFromState(const std::string& id, const std::string& derHex)
{
    return {id, FromHex(derHex)};
}

std::string RotationNote(const SignedBase& base, const Signer& signer)
{
    return base.pinnedKey.empty() || base.pinnedKey == signer.keyId ? ""
                                                                    : " in place of key " + base.pinnedKey;
}
