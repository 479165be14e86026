// A signature's problems are reported as they are found; the release line
// after them says which release they are about, and which key signed it.
#include "served_release.h"

#include <cstdio>
#include <ctime>

#include "file_md5.h"
#include "shown_text.h"
#include "utc_time.h"

namespace {

const char Unreadable[] =
    "signed, but not in the form updaters built with release keys take (a serial, an expiry, the "
    "release record, one SHA-256 line for every file)";

// Serials are publish times in seconds; one past year 9999 is no time at all.
const std::uint64_t LastShownTime = 253402300799ull;

// With keys: whether the signature is one of theirs over text's bytes, each
// reason it is not reported.
bool Verified(const std::string& text, const ServedRelease& served, const std::vector<PublicKey>& keys,
              Findings& findings)
{
    std::string ids;
    bool known = false;
    for (const PublicKey& key : keys) {
        ids += (ids.empty() ? "" : ", ") + key.id;
        known = known || key.id == served.keyId;
    }
    const std::vector<ReleaseKey> views = AsReleaseKeys(keys);
    SignedRelease release;
    if (!served.isSigned)
        Report(findings, "manifest.txt",
               "not signed (no signature line at its end): updaters built with release keys refuse it");
    else if (!known)
        Report(findings, "manifest.txt",
               "signed by key " + served.keyId + ", none of the keys given (" + ids +
                   "): updaters built with those refuse it");
    else if (!CheckSignedManifest(text, views.data(), views.size(), VerifyWithOpenSsl, release))
        Report(findings, "manifest.txt",
               served.readable ? "its signature by key " + served.keyId +
                                     " does not match its bytes: changed after it was signed"
                               : Unreadable);
    else
        return true;
    return false;
}

}  // namespace

ServedRelease ReadServedRelease(const std::string& text)
{
    ServedRelease served;
    SignedParts parts;
    served.isSigned = SplitSignature(text, parts);
    served.keyId = parts.keyId;
    served.readable = served.isSigned && SignedEntries(parts.signedText, served.release);
    Sha256OfText(text, served.sha256);
    return served;
}

std::string ReleaseText(const ServedRelease& served)
{
    if (!served.readable)
        return std::string(served.isSigned ? "" : "unsigned ") + "release with manifest.txt SHA-256 " +
               served.sha256.substr(0, 16);
    const std::uint64_t serial = served.release.serial;
    return "release " + std::to_string(serial) +
           (serial <= LastShownTime ? " of " + UtcTimeText(static_cast<std::int64_t>(serial)) : "");
}

SignedDigests CheckServedRelease(const std::string& text, const ServedRelease& served,
                                 const CheckOptions& options, Findings& findings)
{
    const std::vector<PublicKey>& keys = options.keys;
    const bool holds = keys.empty() ? served.readable : Verified(text, served, keys, findings);
    if (keys.empty() && served.isSigned && !served.readable)
        Report(findings, "manifest.txt", Unreadable);
    if (holds && served.release.expires <= std::time(nullptr))
        Report(findings, "manifest.txt",
               "its signature ran out at " + UtcTimeText(served.release.expires) +
                   ": updaters built with release keys refuse it (sign it again: korvanth-publish --resign)");
    // Said where nothing else would: a signature no key was given for, and
    // the release set beside the origin's.
    if (!options.quiet && ((keys.empty() && served.isSigned) || !options.origin.empty())) {
        std::string line = ReleaseText(served);
        if (served.isSigned)
            line += ", signed by key " + served.keyId +
                    (keys.empty() ? " (not verified: give --release-key)"
                     : holds      ? " (verified)"
                                  : " (refused)");
        std::printf("%s\n", Shown(line).c_str());
    }
    return holds ? served.release.digests : SignedDigests();
}
