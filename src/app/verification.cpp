// Every listed file is hashed on every run: no cache of sizes or times, so a
// file changed behind the updater's back is always caught.
#include "verification.h"

#include <string>

#include "file_digest.h"
#include "path_rules.h"

std::vector<ManifestEntry> FindPendingEntries(const std::vector<ManifestEntry>& entries)
{
    std::vector<ManifestEntry> pending;
    // One buffer for every file's digest: Md5File only overwrites it.
    std::string digest;
    for (const ManifestEntry& entry : entries) {
        if (!Md5File(ToLocalPath(entry.path), digest) || !DigestEquals(digest, entry.md5))
            pending.push_back(entry);
    }
    return pending;
}

std::uint64_t SumPendingKb(const std::vector<ManifestEntry>& pending)
{
    std::uint64_t total = 0;
    for (const ManifestEntry& entry : pending)
        total += entry.size >> 10;
    return total;
}
