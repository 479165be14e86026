// The carried updater is judged only once its bytes matched the manifest:
// a file that did not is a problem of its own already.
#include "carried_updater.h"

#include <strings.h>

#include <cstdio>

#include "shown_text.h"
#include "signed_manifest.h"
#include "updater_identity.h"

std::size_t CarriedUpdaterAt(const std::vector<ManifestEntry>& entries)
{
    std::size_t at = 0;
    while (at < entries.size() && strcasecmp(entries[at].path.c_str(), UpdaterFileName) != 0)
        ++at;
    return at;
}

void TellCarriedUpdater(const std::string& bytes, bool signedRelease, const std::vector<PublicKey>& keys,
                        bool quiet, Findings& findings)
{
    UpdaterIdentity identity;
    if (!ReadUpdaterIdentity(bytes, identity)) {
        const std::string what = "not an updater built with release keys: it takes any release";
        if (signedRelease || !keys.empty())
            Report(findings, UpdaterFileName,
                   what + ", so its players would run whatever any server gives them from then on");
        else if (!quiet)
            std::printf("carries %s, %s\n", UpdaterFileName, what.c_str());
        return;
    }
    if (!quiet)
        std::printf("carries %s: %s\n", UpdaterFileName, Shown(IdentityText(identity)).c_str());
    std::string given;
    for (const PublicKey& key : keys) {
        for (const std::string& id : identity.keyIds) {
            if (id == key.id)
                return;
        }
        given += (given.empty() ? "" : ", ") + key.id;
    }
    if (!keys.empty())
        Report(findings, UpdaterFileName,
               "takes none of the keys given (" + given +
                   "): its players would refuse every release signed with them and stay on this one");
}
