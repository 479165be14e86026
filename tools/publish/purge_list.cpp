// The purge list. The characters escaped are the ones the updater's own
// requests carry escaped (seen in the web server's access log for every
// name the release tool accepts); every other byte travels as it is.
#include "purge_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "manifest.h"
#include "release_store.h"
#include "server_layout.h"
#include "shown_text.h"

namespace {

bool TravelsEscaped(unsigned char c)
{
    return c <= 0x20 || c >= 0x7F || std::strchr("\"#<>[\\]^`{|}", c) != nullptr;
}

// Path to digest and size: a file whose digest and size stay the same
// serves the same bytes.
std::map<std::string, std::pair<std::string, std::uint64_t>> Index(const std::vector<ManifestEntry>& entries)
{
    std::map<std::string, std::pair<std::string, std::uint64_t>> index;
    for (const ManifestEntry& e : entries)
        index[e.path] = std::make_pair(e.md5, e.size);
    return index;
}

}  // namespace

std::string UrlPathOf(const std::string& manifestPath)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : manifestPath) {
        if (TravelsEscaped(c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<std::string> PurgeList(const std::string& oldManifest, const std::string& newManifest)
{
    std::vector<std::string> list;
    if (oldManifest == newManifest)
        return list;
    list.push_back("manifest.txt");
    const std::vector<ManifestEntry> before = ParseManifest(oldManifest);
    const std::vector<ManifestEntry> after = ParseManifest(newManifest);
    const auto oldIndex = Index(before);
    const auto newIndex = Index(after);
    for (const ManifestEntry& e : after) {
        const auto found = oldIndex.find(e.path);
        if (found == oldIndex.end() || found->second != std::make_pair(e.md5, e.size))
            list.push_back("files/" + UrlPathOf(e.path));
    }
    for (const ManifestEntry& e : before) {
        if (newIndex.count(e.path) == 0)
            list.push_back("files/" + UrlPathOf(e.path));
    }
    return list;
}

bool BeginPurgeList(const std::string& path, WholeFile& list)
{
    if (path.empty() || BeginWholeFile(path, 0644, list))
        return true;
    std::fprintf(stderr, "korvanth-publish: %s: %s; nothing was changed\n", Shown(path).c_str(),
                 errno == EINVAL ? "is not a regular file: no purge list is written there"
                                 : std::strerror(errno));
    return false;
}

bool FinishPurgeList(WholeFile& list, const std::vector<std::string>& urlPaths)
{
    if (list.temporary.empty())
        return true;
    std::string text;
    for (const std::string& p : urlPaths)
        text += p + '\n';
    return CommitWholeFile(list, text);
}

int ReportChanges(WholeFile& list, const std::string& before, const std::string& after, unsigned long live)
{
    if (FinishPurgeList(list, PurgeList(before, after)))
        return 0;
    std::fprintf(stderr, "korvanth-publish: release %s is live, but the purge list %s was not written: %s\n",
                 ReleaseName(live).c_str(), Shown(list.path).c_str(), std::strerror(errno));
    return LiveButFailed;
}
