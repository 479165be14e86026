// Composing a signed release from what the tool read itself: the files of
// this publish, and an earlier release only when its signature checked, so
// that nothing someone else wrote into the server folder is ever signed.
#include "signed_release.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "file_md5.h"
#include "manifest_line.h"
#include "whole_file.h"

namespace fs = std::filesystem;

std::uint64_t NextSerial(std::uint64_t last, std::int64_t now)
{
    return now > 0 && static_cast<std::uint64_t>(now) > last ? static_cast<std::uint64_t>(now) : last + 1;
}

ReleaseFile RecordFile(std::uint64_t serial)
{
    const std::string text = ReleaseRecordText(serial);
    ReleaseFile file;
    file.path = ReleaseRecordName;
    file.size = text.size();
    Md5OfText(text, file.md5);
    Sha256OfText(text, file.sha256);
    return file;
}

bool WriteRecord(const fs::path& files, std::uint64_t serial)
{
    return WriteWholeFile((files / ReleaseRecordName).string(), ReleaseRecordText(serial), 0444);
}

DroppedList DroppedSince(const SignedRelease* earlier, const std::vector<ReleaseFile>& files)
{
    if (earlier == nullptr)
        return DroppedList();
    std::set<std::string> listed = {UpdaterFileName, "update.url", ReleaseRecordName, "Korvanth.exe"};
    for (const ReleaseFile& f : files)
        listed.insert(f.path);
    std::set<std::pair<std::string, std::string>> dropped;
    for (const ManifestEntry& e : earlier->entries) {
        if (listed.count(e.path) == 0 && strcasecmp(e.path.c_str(), UpdaterFileName) != 0)
            dropped.insert({e.path, e.md5});
    }
    for (const DroppedFile& d : earlier->dropped) {
        if (listed.count(std::string(d.path)) == 0)
            dropped.insert({std::string(d.path), std::string(d.md5)});
    }
    return DroppedList(dropped.begin(), dropped.end());
}

std::string SignedText(const std::vector<ReleaseFile>& files, const ReleaseTerms& terms,
                       const DroppedList& dropped)
{
    std::string text = ReleaseLine(terms.serial) + ExpiresLine(terms.expires);
    for (const ReleaseFile& f : files)
        text += ManifestLine(f.md5, f.size, f.path);
    for (const auto& d : dropped)
        text += DroppedLine(d.second, d.first);
    for (const ReleaseFile& f : files)
        text += Sha256Line(f.sha256, f.path);
    return text;
}

std::vector<ReleaseFile> FilesOf(const SignedRelease& release)
{
    std::vector<ReleaseFile> files;
    for (const ManifestEntry& e : release.entries) {
        ReleaseFile f;
        f.path = e.path;
        f.md5 = e.md5;
        f.size = e.size;
        f.sha256 = std::string(*FindSignedDigest(release.digests, e.path));
        files.push_back(f);
    }
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    return files;
}

bool SameFiles(const SignedRelease& release, const std::vector<ReleaseFile>& files)
{
    std::vector<ReleaseFile> before = FilesOf(release);
    std::vector<ReleaseFile> after = files;
    for (std::vector<ReleaseFile>* list : {&before, &after})
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [](const ReleaseFile& f) { return f.path == ReleaseRecordName; }),
                    list->end());
    return std::equal(before.begin(), before.end(), after.begin(), after.end(),
                      [](const ReleaseFile& a, const ReleaseFile& b) {
                          return a.path == b.path && a.size == b.size && a.md5 == b.md5 &&
                                 a.sha256 == b.sha256;
                      });
}
