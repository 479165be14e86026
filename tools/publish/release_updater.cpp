// An updater given is read once: its identity, size and digests all come
// from the same bytes, which are the ones written. One carried on is the
// live release's copy, as the live signature and the tool's state describe
// it; a copy someone replaced in the server folder fails every player's
// SHA-256 check, it is never signed as it is.
#include "release_updater.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_md5.h"
#include "manifest.h"
#include "shown_text.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

bool Refuse(const std::string& what, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(what).c_str(), why.c_str());
    return false;
}

}  // namespace

bool ChooseUpdater(const std::string& given, const SignedBase& base, const fs::path& liveFiles,
                   const std::string& keyId, CarriedUpdater& updater)
{
    updater = CarriedUpdater();
    std::string source = given;
    if (given.empty()) {
        // Carried on only while the live release carries the very updater
        // the tool put there.
        const std::string_view* live = base.liveVerified
                                           ? FindSignedDigest(base.live.digests, UpdaterFileName)
                                           : nullptr;
        if (base.state.updaterSha256.empty()) {
            if (live != nullptr)
                std::fprintf(stderr,
                             "korvanth-publish: warning: the live release carries an updater this user's "
                             "korvanth-publish did not publish: this release carries none; give --updater "
                             "to carry one\n");
            return true;
        }
        if (live == nullptr || *live != base.state.updaterSha256) {
            std::fprintf(
                stderr,
                "korvanth-publish: warning: the live release no longer carries the updater korvanth-"
                "publish last published (SHA-256 %s): this release carries none; give --updater again\n",
                base.state.updaterSha256.c_str());
            return true;
        }
        source = (liveFiles / UpdaterFileName).string();
    }
    std::string bytes;
    if (!ReadWholeFile(source, bytes, MaxManifestBytes) || !ReadUpdaterIdentity(bytes, updater.identity)) {
        const std::string why = WhyNoKeyedUpdater(source, updater.identity);
        return Refuse(source, why.empty() ? std::strerror(errno) : why);
    }
    if (std::find(updater.identity.keyIds.begin(), updater.identity.keyIds.end(), keyId) ==
        updater.identity.keyIds.end())
        return Refuse(source,
                      "takes " + IdentityText(updater.identity) + ", not key " + keyId +
                          ", which signs this release: players who took it would refuse every release "
                          "after it; carry an updater built with that key too");
    updater.carried = true;
    updater.file.path = UpdaterFileName;
    updater.file.size = bytes.size();
    if (!Md5OfText(bytes, updater.file.md5) || !Sha256OfText(bytes, updater.file.sha256))
        return Refuse(source, "cannot be hashed");
    if (given.empty() && updater.file.sha256 != base.state.updaterSha256)
        return Refuse(source,
                      "is not the updater the live release was signed with: someone replaced it; give "
                      "--updater again");
    if (!given.empty())
        updater.bytes.swap(bytes);
    return true;
}

bool PlaceUpdater(const CarriedUpdater& updater, const fs::path& liveFiles, const fs::path& files)
{
    const fs::path target = files / UpdaterFileName;
    if (updater.bytes.empty())
        return link((liveFiles / UpdaterFileName).c_str(), target.c_str()) == 0;
    return WriteWholeFile(target.string(), updater.bytes, 0555);
}
