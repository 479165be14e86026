// The release record and the dropped files, through the same calls as the
// rest of the update: fopen for a small text file, Md5File for a digest,
// DeleteFileA for what goes.
#include "release_guard.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "file_digest.h"
#include "path_rules.h"

std::uint64_t ReadHeldSerial()
{
    FILE* file = std::fopen(ReleaseRecordName, "rb");
    if (file == NULL)
        return 0;
    char text[32];
    const std::size_t length = std::fread(text, 1, sizeof(text), file);
    std::fclose(file);
    std::uint64_t serial = 0;
    return ParseReleaseRecord(std::string_view(text, length), serial) ? serial : 0;
}

std::int64_t UtcNowSeconds()
{
    // FILETIME counts 100 ns from 1601-01-01; 11,644,473,600 s lie before 1970.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

void PutRecordFirst(std::vector<ManifestEntry>& pending)
{
    std::stable_partition(pending.begin(), pending.end(),
                          [](const ManifestEntry& e) { return e.path == ReleaseRecordName; });
}

void DeleteDroppedFiles(const SignedRelease& release)
{
    const std::vector<DroppedFile> dropped = DeletableDropped(release);
    std::string digest;
    // Sorted by path: each file is read once, whichever of its digests it has.
    for (std::size_t i = 0; i < dropped.size();) {
        const std::string_view path = dropped[i].path;
        digest.clear();
        const std::string local = ToLocalPath(std::string(path));
        const bool read = Md5File(local, digest);
        bool shipped = false;
        for (; i < dropped.size() && dropped[i].path == path; ++i)
            shipped = shipped || (read && digest == dropped[i].md5);
        if (shipped)
            DeleteFileA(local.c_str());
    }
}
