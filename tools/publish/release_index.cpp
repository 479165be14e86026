// The index as text: a header naming the format and the server folder, one
// line per file, and a last line with the MD5 of all before it, so that a
// damaged or cut short index is known and never trusted.
#include "release_index.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file_md5.h"
#include "manifest.h"
#include "shown_text.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char IndexName[] = ".publish-index";
// A line per file, several times a manifest line's length: an index past
// this is no index of a release any updater could take.
const std::uint64_t MaxIndexBytes = 8 * MaxManifestBytes;
const char Format[] = "korvanth-publish index 2";
const char EndTag[] = "end\t";

// The folder's identity: an index copied along with a server folder
// describes copies that are not there.
std::string Header(const fs::path& server, std::int64_t startedSeconds)
{
    struct stat info;
    if (stat(server.c_str(), &info) != 0)
        return "";
    char text[128];
    std::snprintf(text, sizeof(text), "%s\t%ju\t%ju\t%" PRId64 "\n", Format,
                  static_cast<std::uintmax_t>(info.st_dev), static_cast<std::uintmax_t>(info.st_ino),
                  startedSeconds);
    return text;
}

void AppendStamp(std::string& out, const FileStamp& s)
{
    char text[160];
    std::snprintf(text, sizeof(text), "%ju %ju %o %u %ju %" PRId64 " %" PRId64 " ",
                  static_cast<std::uintmax_t>(s.device), static_cast<std::uintmax_t>(s.inode), s.mode,
                  s.owner, static_cast<std::uintmax_t>(s.size), s.mtimeNs, s.ctimeNs);
    out += text;
}

// Seven numbers, each followed by one blank, as AppendStamp writes them.
bool ParseStamp(const char*& p, FileStamp& s)
{
    std::uint64_t v[7];
    for (int i = 0; i < 7; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtoull(p, &end, i == 2 ? 8 : 10);
        if (end == p || *end != ' ' || errno != 0)
            return false;
        p = end + 1;
    }
    s.device = v[0];
    s.inode = v[1];
    s.mode = static_cast<std::uint32_t>(v[2]);
    s.owner = static_cast<std::uint32_t>(v[3]);
    s.size = v[4];
    s.mtimeNs = static_cast<std::int64_t>(v[5]);
    s.ctimeNs = static_cast<std::int64_t>(v[6]);
    return true;
}

bool ParseEntries(const std::string& body, std::size_t from, ReleaseIndex& index)
{
    const char* p = body.c_str() + from;
    const char* end = body.c_str() + body.size();
    while (p < end) {
        IndexEntry entry;
        if (!ParseStamp(p, entry.source) || !ParseStamp(p, entry.published) || end - p < 34 || p[32] != '\t')
            return false;
        entry.md5.assign(p, 32);
        p += 33;
        // The SHA-256, or "-" when it is not known.
        const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
        if (tab == nullptr || (tab - p != 64 && tab - p != 1))
            return false;
        if (tab - p == 64)
            entry.sha256.assign(p, 64);
        p = tab + 1;
        const char* lineEnd = static_cast<const char*>(
            std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lineEnd == nullptr)
            return false;
        index.entries[std::string(p, lineEnd)] = entry;
        p = lineEnd + 1;
    }
    return true;
}

bool Parse(const fs::path& server, const std::string& text, ReleaseIndex& index)
{
    const std::string::size_type tail = text.rfind(EndTag);
    std::string digest;
    if (tail == std::string::npos || text.back() != '\n' || !Md5OfText(text.substr(0, tail), digest) ||
        text.compare(tail + 4, std::string::npos, digest + "\n") != 0)
        return false;
    const std::string body = text.substr(0, tail);
    const std::string::size_type headerEnd = body.find('\n');
    if (headerEnd == std::string::npos)
        return false;
    const std::string header = body.substr(0, headerEnd + 1);
    const std::string::size_type lastTab = header.rfind('\t');
    index.startedSeconds = std::strtoll(header.c_str() + lastTab + 1, nullptr, 10);
    return header == Header(server, index.startedSeconds) && ParseEntries(body, headerEnd + 1, index);
}

}  // namespace

ReleaseIndex LoadIndex(const fs::path& server, const std::string* vouched)
{
    ReleaseIndex index;
    std::string text, digest;
    // A link planted under its name is never read through.
    if (!ReadWholeFile(server / IndexName, text, MaxIndexBytes, O_NOFOLLOW) && errno == ENOENT)
        return index;
    // Its own digest is no key: anyone who can write the folder can write
    // an index that checks. A signed publish takes only the index whose
    // digest the tool's own state recorded.
    if (vouched != nullptr && (!Sha256OfText(text, digest) || digest != *vouched)) {
        std::fprintf(
            stderr,
            "korvanth-publish: note: %s is not the one korvanth-publish last wrote for this user (it "
            "was changed, or written on another machine): every file is read again\n",
            Shown((server / IndexName).string()).c_str());
        return index;
    }
    if (!Parse(server, text, index)) {
        const bool older = text.rfind("korvanth-publish index ", 0) == 0 && text.rfind(Format, 0) != 0;
        std::fprintf(stderr, "korvanth-publish: note: %s %s: every file is read again\n",
                     Shown((server / IndexName).string()).c_str(),
                     older ? "was written by an older korvanth-publish"
                           : "is damaged or not this server folder's");
        return ReleaseIndex();
    }
    return index;
}

bool SaveIndex(const fs::path& server, const ReleaseIndex& index, std::string& sha256)
{
    std::string text = Header(server, index.startedSeconds);
    for (const auto& item : index.entries) {
        AppendStamp(text, item.second.source);
        AppendStamp(text, item.second.published);
        text += item.second.md5 + '\t' + (item.second.sha256.empty() ? "-" : item.second.sha256) + '\t' +
                item.first + '\n';
    }
    std::string digest;
    const fs::path path = server / IndexName;
    // Not synced: an index a power cut leaves damaged fails its digest and
    // is not trusted. Nobody but the publisher needs to read it.
    bool ok = Md5OfText(text, digest);
    text += EndTag + digest + "\n";
    ok = ok && Sha256OfText(text, sha256) && WriteWholeFile(path, text, 0600);
    if (!ok)
        std::fprintf(stderr, "korvanth-publish: warning: %s: %s; the next publish reads every file\n",
                     Shown(path.string()).c_str(), std::strerror(errno));
    return ok;
}

bool StillClean(const ReleaseIndex& index, const IndexEntry& entry, const FileStamp& source)
{
    return entry.source == source && entry.source.mtimeNs / 1000000000 < index.startedSeconds;
}

std::int64_t FileClockSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec);
}
