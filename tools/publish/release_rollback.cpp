// A rollback: the release before the live one made live again by the same
// switch a publish ends with, nothing built and nothing pruned, so that a
// release rolled back from stays until the next publish supersedes it.
#include "release_store.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "purge_list.h"
#include "signed_manifest.h"
#include "server_layout.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// Whether a release whose manifest is other may replace the live one, whose
// manifest is live, for players: not an unsigned one over a signed one.
bool SignedAsLive(const std::string& live, const std::string& other)
{
    SignedParts parts;
    return !SplitSignature(live, parts) || SplitSignature(other, parts);
}

}  // namespace

int RollBack(const fs::path& server, const std::string& purgeList, bool quiet)
{
    std::error_code error;
    if (!fs::is_directory(server / ReleasesFolder, error)) {
        Fail(server, "holds no release to roll back to");
        return 1;
    }
    WholeFile list;
    if (RefusedServer(server) != 0 || !BeginPurgeList(purgeList, list) || !PrepareServer(server)) {
        AbandonWholeFile(list);
        return 2;
    }
    unsigned long live = 0;
    const std::vector<unsigned long> ids = ReleaseIds(server);
    int code = 0;
    if (!LiveRelease(server, live)) {
        code = Fail(server / CurrentLink, "names no release");
    } else if (std::lower_bound(ids.begin(), ids.end(), live) == ids.begin()) {
        Fail(server, "no release before " + ReleaseName(live) + " to roll back to");
        code = 1;
    } else if (!SignedAsLive(ManifestOf(server, live),
                             ManifestOf(server, *(std::lower_bound(ids.begin(), ids.end(), live) - 1)))) {
        Fail(server,
             "the live release " + ReleaseName(live) +
                 " is signed and the one before it is not: every updater built with release keys would "
                 "refuse it; nothing was changed");
        code = 1;
    } else {
        const unsigned long previous = *(std::lower_bound(ids.begin(), ids.end(), live) - 1);
        code = SwitchTo(server, previous);
        if (code != 2) {
            if (!quiet)
                std::printf("rolled back: release %s is live again, in place of %s\n",
                            ReleaseName(previous).c_str(), ReleaseName(live).c_str());
            const int reported = ReportChanges(list, ManifestOf(server, live), ManifestOf(server, previous),
                                               previous);
            code = code != 0 ? code : reported;
        }
    }
    AbandonWholeFile(list);
    return code;
}
