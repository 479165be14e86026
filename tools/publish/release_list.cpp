// The listing: every complete release of a server folder, read from its
// manifest (and the updater it carries), so that it says what players would
// get from each. Nothing is checked here: --check does that.
#include "release_store.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "manifest.h"
#include "signed_manifest.h"
#include "server_layout.h"
#include "updater_identity.h"
#include "utc_time.h"
#include "whole_file.h"

namespace fs = std::filesystem;

int ListReleases(const fs::path& server)
{
    const std::vector<unsigned long> ids = ReleaseIds(server);
    if (ids.empty()) {
        Fail(server, "holds no release");
        return 1;
    }
    unsigned long live = 0;
    const bool hasLive = LiveRelease(server, live);
    std::printf(
        "release  published         files           bytes  signed by         expires     updater takes\n");
    for (unsigned long id : ids) {
        const fs::path manifest = ReleaseFolder(server, id) / "manifest.txt";
        std::uint64_t bytes = 0;
        const std::string manifestText = ManifestOf(server, id);
        const std::vector<ManifestEntry> entries = ParseManifest(manifestText);
        SignedParts signature;
        SignedRelease release;
        const bool isSigned = SplitSignature(manifestText, signature);
        const std::string signedBy = isSigned ? signature.keyId : "unsigned";
        const std::string expires = isSigned && SignedEntries(signature.signedText, release)
                                        ? UtcTimeText(release.expires).substr(0, 10)
                                        : "-";
        std::string updater, bytesOfUpdater;
        UpdaterIdentity identity;
        if (FindSignedDigest(release.digests, UpdaterFileName) != nullptr &&
            ReadWholeFile(ReleaseFolder(server, id) / "files" / UpdaterFileName, bytesOfUpdater,
                          MaxManifestBytes) &&
            ReadUpdaterIdentity(bytesOfUpdater, identity)) {
            for (const std::string& key : identity.keyIds)
                updater += (updater.empty() ? "" : ",") + key;
        }
        for (const ManifestEntry& e : entries)
            bytes += e.size;
        struct stat info;
        char date[32] = "?";
        struct tm local;
        if (stat(manifest.c_str(), &info) == 0 && localtime_r(&info.st_mtime, &local) != nullptr)
            std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M", &local);
        // An unsigned release has neither an expiry nor an updater to show.
        const std::string terms = isSigned ? "  " + expires + "  " + (updater.empty() ? "-" : updater) : "";
        std::printf("%s   %-16s  %6zu  %14llu  %-16s%s%s\n", ReleaseName(id).c_str(), date, entries.size(),
                    static_cast<unsigned long long>(bytes), signedBy.c_str(), terms.c_str(),
                    hasLive && id == live ? "  live" : "");
    }
    return 0;
}
