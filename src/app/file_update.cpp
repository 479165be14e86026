// A game file is only ever replaced by a single rename of a verified copy, so
// an interrupted or failed update leaves the old file whole and playable.
#include "file_update.h"

#include <windows.h>

#include <cstdio>

#include "file_digest.h"
#include "http_download.h"
#include "parent_dirs.h"
#include "path_rules.h"

namespace {

const char TempSuffix[] = ".kvdl";

bool IsUpdaterFile(const std::string& path)
{
    return WindowsNameKey(path) == WindowsNameKey(UpdaterFileName);
}

// Windows neither replaces nor deletes a running program's file, but lets it
// be renamed within its folder: the updater's own file is moved aside, the
// verified new one takes its name, and the running code carries on to the
// end of this run; the next start removes the old one. When the new one
// cannot take the name, the old one is moved back: the folder always keeps
// an updater that starts.
bool PutUpdaterInPlace(const std::string& temp, const std::string& target, DWORD& error)
{
    DeleteFileA(UpdaterAsideName);
    const bool movedAside = MoveFileExA(target.c_str(), UpdaterAsideName, 0) != 0;
    error = movedAside ? 0 : GetLastError();
    if (!movedAside && error != ERROR_FILE_NOT_FOUND)
        return false;
    if (MoveFileExA(temp.c_str(), target.c_str(), 0))
        return true;
    error = GetLastError();
    if (movedAside)
        MoveFileExA(UpdaterAsideName, target.c_str(), 0);
    return false;
}

// True when the verified copy now stands at target; temp is where it is
// downloaded and checked first. signedSha256 is null, or the SHA-256 the
// file's bytes must have, as well as their MD5.
bool UpdateOneFile(const std::string& baseUrl, const ManifestEntry& entry, const std::string& target,
                   const std::string& temp, const std::string* signedSha256)
{
    CreateParentDirs(target);
    SignedBody signedBody;
    signedBody.maxSize = entry.size;
    if (!HttpDownload(baseUrl, "files/" + entry.path, temp, NULL, entry.size,
                      signedSha256 != NULL ? &signedBody : NULL))
        return false;

    std::string digest;
    if (!Md5File(temp, digest) || !DigestEquals(digest, entry.md5) ||
        (signedSha256 != NULL && !DigestEquals(signedBody.sha256, *signedSha256))) {
        std::printf("    [!] Hash incorrecto, descarga corrupta.\n");
        return false;
    }
    // Only a release that an updater built with keys checked may replace it.
    DWORD error = 0;
    bool placed = false;
    if (signedSha256 != NULL && IsUpdaterFile(entry.path)) {
        placed = PutUpdaterInPlace(temp, target, error);
    } else {
        placed = MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        error = placed ? 0 : GetLastError();
    }
    if (!placed) {
        std::printf("    [!] No pude reemplazar el archivo (en uso? error %lu)\n",
                    static_cast<unsigned long>(error));
        return false;
    }
    return true;
}

}  // namespace

int UpdatePendingFiles(const std::string& baseUrl, const std::vector<ManifestEntry>& pending,
                       const SignedDigests* signedDigests)
{
    int failures = 0;
    const int count = static_cast<int>(pending.size());
    for (int i = 0; i < count; ++i) {
        const ManifestEntry& entry = pending[i];
        std::printf(" [%d/%d] %s\n", i + 1, count, entry.path.c_str());
        const std::string target = ToLocalPath(entry.path);
        const std::string temp = target + TempSuffix;
        std::string signedSha256;
        if (signedDigests != NULL) {
            // A signed manifest gives every entry one; an entry without one
            // fails, it never goes unchecked: no digest text reads "none".
            const std::string_view* found = FindSignedDigest(*signedDigests, entry.path);
            signedSha256 = found != NULL ? std::string(*found) : "none";
        }
        if (!UpdateOneFile(baseUrl, entry, target, temp, signedDigests != NULL ? &signedSha256 : NULL)) {
            DeleteFileA(temp.c_str());
            ++failures;
        }
    }
    return failures;
}
