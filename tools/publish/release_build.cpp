// The copying half of a publish. Workers take the files one at a time; the
// main thread only reports progress. Any failure stops the workers and
// leaves the incoming folder for the caller to remove.
#include "release_build.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "copy_hashed.h"
#include "shown_text.h"

namespace fs = std::filesystem;

namespace {

struct Shared {
    Shared(ReleaseTree& t, const fs::path& in, const LiveCopies& l, bool s)
        : tree(t), incoming(in), live(l), withSha256(s)
    {
    }
    ReleaseTree& tree;
    const fs::path& incoming;  // empty: read only, write nothing
    const LiveCopies& live;
    const bool withSha256;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;  // guards what follows
    std::condition_variable progressed;
    std::size_t done = 0;
    std::uint64_t bytes = 0;
    BuildCounts counts;
    std::string error;
    int code = 0;  // the exit code of the first failure
};

// The processors this process may run on: the machine's, or fewer under taskset.
unsigned Processors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return 1;
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

// A copy the tool made read-only is the one recorded while it keeps its
// inode, size, mode, owner and modification time. Its change time is left
// out: every hard link made or removed moves it, a publish cut short or a
// pruned release included, and that says nothing of its content.
bool LiveCopyIs(const fs::path& live, const FileStamp& recorded)
{
    struct stat info;
    if (lstat(live.c_str(), &info) != 0)
        return false;
    FileStamp now = StampOf(info);
    now.ctimeNs = recorded.ctimeNs;
    return now == recorded;
}

// Folders as the files need them, 0755 whatever the umask.
bool MakeFolders(const std::vector<ReleaseFile>& files, const fs::path& top, std::string& error)
{
    std::unordered_set<std::string> made;
    for (const ReleaseFile& f : files) {
        for (std::string::size_type slash = f.path.find('/'); slash != std::string::npos;
             slash = f.path.find('/', slash + 1)) {
            const std::string folder = f.path.substr(0, slash);
            if (!made.insert(folder).second)
                continue;
            const fs::path where = top / folder;
            if (mkdir(where.c_str(), 0755) != 0 || chmod(where.c_str(), 0755) != 0) {
                error = Shown(where.string()) + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

// Whether the live release's signed manifest gives path the SHA-256 sha256.
bool SignedAs(const LiveCopies& live, const std::string& path, const std::string& sha256)
{
    const std::string_view* signedSha256 = FindSignedDigest(live.signedSha256, path);
    return signedSha256 != nullptr && !sha256.empty() && *signedSha256 == sha256;
}

// Whether the live copy of file can stand for what was just read: the
// same digest, size and published mode. The index vouches that the copy is
// still as it was published; for a file it has no entry for (there is no
// usable index), the live manifest's word is taken, with the copy's own
// size, mode and owner.
bool LiveCopyServes(const LiveCopies& live, const ReleaseFile& file, const CopiedFile& copy, bool withSha256)
{
    if (live.files.empty())
        return false;
    const fs::path copyPath = live.files / file.path;
    const std::uint32_t mode = PublishedMode(copy.source.mode);
    const auto known = live.index.entries.find(file.path);
    if (known != live.index.entries.end())
        return known->second.md5 == copy.md5 && known->second.published.size == copy.size &&
               (!withSha256 || known->second.sha256 == copy.sha256) &&
               (known->second.published.mode & 07777) == mode &&
               LiveCopyIs(copyPath, known->second.published);
    const auto listed = live.listed.find(file.path);
    struct stat info;
    return listed != live.listed.end() && listed->second.md5 == copy.md5 &&
           listed->second.size == copy.size && (!withSha256 || SignedAs(live, file.path, copy.sha256)) &&
           lstat(copyPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           static_cast<std::uint64_t>(info.st_size) == copy.size && (info.st_mode & 07777) == mode &&
           info.st_uid == geteuid();
}

// The file's bytes, opened below the release's root where the scan found
// them, and only while they are still the file the scan found; code 1
// when they are not, 2 when they cannot be read.
int OpenScanned(const ReleaseTree& tree, const ReleaseFile& file, int& code, std::string& why)
{
    const int fd = OpenBeneath(tree.root, file.source);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && info.st_dev == file.stamp.device &&
        info.st_ino == file.stamp.inode)
        return fd;
    const int reason = errno;
    if (fd >= 0)
        close(fd);
    code = fd >= 0 || reason == ELOOP || reason == ENOTDIR || reason == ENOENT ? 1 : 2;
    why = code == 1 ? "changed while it was published: a link or another file stands where the scan found "
                      "it; nothing was published, publish again"
                    : std::string("cannot be read: ") + std::strerror(reason);
    return -1;
}

// One file into the new release (or, reading only, its place decided);
// false with the exit code and why.
bool Place(Shared& shared, ReleaseFile& file, const std::string& temporary, bool& copied, int& code,
           std::string& why)
{
    const bool writing = !shared.incoming.empty();
    const fs::path target = shared.incoming / "files" / file.path;
    const fs::path live = shared.live.files / file.path;
    copied = false;
    code = 2;
    if (file.unchanged) {
        if (!writing || link(live.c_str(), target.c_str()) == 0)
            return true;
        file.unchanged = false;  // gone or full of links: a copy of its own
    }
    CopiedFile copy;
    const int in = OpenScanned(shared.tree, file, code, why);
    if (in < 0 || !CopyHashed(in, writing ? temporary : "", shared.withSha256, copy, why))
        return false;
    file.md5 = copy.md5;
    file.sha256 = copy.sha256;
    file.size = copy.size;
    file.stamp = copy.source;
    if (LiveCopyServes(shared.live, file, copy, shared.withSha256) &&
        (!writing || link(live.c_str(), target.c_str()) == 0)) {
        file.unchanged = true;
        if (writing)
            unlink(temporary.c_str());
        return true;
    }
    if (writing && rename(temporary.c_str(), target.c_str()) != 0) {
        why = std::string("cannot be placed: ") + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    copied = true;
    return true;
}

void Work(Shared& shared, unsigned worker)
{
    const std::string temporary = (shared.incoming / (".copy-" + std::to_string(worker))).string();
    for (std::size_t i = shared.next++; i < shared.tree.files.size() && !shared.failed; i = shared.next++) {
        ReleaseFile& file = shared.tree.files[i];
        const bool wasUnchanged = file.unchanged;
        bool copied = false;
        int code = 0;
        std::string why;
        const bool ok = Place(shared, file, temporary, copied, code, why);
        std::lock_guard<std::mutex> hold(shared.lock);
        if (!ok && !shared.failed.exchange(true)) {
            shared.error = Shown(file.path) + ": " + why;
            shared.code = code;
        }
        ++shared.done;
        shared.bytes += file.stamp.size;
        shared.counts.copied += copied ? 1 : 0;
        shared.counts.read += wasUnchanged && file.unchanged ? 0 : 1;
        shared.progressed.notify_one();
    }
}

}  // namespace

std::size_t MarkUnchanged(std::vector<ReleaseFile>& files, const LiveCopies& live, bool trustAll,
                          bool withSha256)
{
    std::size_t count = 0;
    for (ReleaseFile& f : files) {
        const auto known = live.index.entries.find(f.path);
        f.unchanged = known != live.index.entries.end() && !live.files.empty() &&
                      (f.trustedStamp || trustAll) &&
                      (!withSha256 || SignedAs(live, f.path, known->second.sha256)) &&
                      StillClean(live.index, known->second, f.stamp) &&
                      LiveCopyIs(live.files / f.path, known->second.published);
        if (f.unchanged) {
            f.md5 = known->second.md5;
            f.sha256 = known->second.sha256;
            f.size = known->second.published.size;
            ++count;
        }
    }
    return count;
}

std::vector<std::string> SharedWithLive(const std::vector<ReleaseFile>& files, const LiveCopies& live)
{
    std::vector<std::string> shared;
    for (const ReleaseFile& f : files) {
        struct stat info;
        if (f.hardLinked && !live.files.empty() && lstat((live.files / f.path).c_str(), &info) == 0 &&
            info.st_dev == f.stamp.device && info.st_ino == f.stamp.inode)
            shared.push_back(f.path);
    }
    return shared;
}

int BuildFiles(ReleaseTree& tree, const fs::path& incoming, const LiveCopies& live, bool withSha256,
               bool quiet, BuildCounts& counts)
{
    std::vector<ReleaseFile>& files = tree.files;
    Shared shared(tree, incoming, live, withSha256);
    const fs::path top = incoming / "files";
    if (!incoming.empty() && (mkdir(top.c_str(), 0755) != 0 || chmod(top.c_str(), 0755) != 0 ||
                              !MakeFolders(files, top, shared.error))) {
        if (shared.error.empty())
            shared.error = Shown(top.string()) + ": " + std::strerror(errno);
        std::fprintf(stderr, "korvanth-publish: %s\n", shared.error.c_str());
        return 2;
    }
    std::size_t toRead = 0;
    std::uint64_t total = 0;
    for (const ReleaseFile& f : files) {
        toRead += f.unchanged ? 0 : 1;
        total += f.stamp.size;
    }
    std::vector<std::thread> workers;
    const unsigned count = toRead < 2 ? 1 : std::min<unsigned>(Processors(), static_cast<unsigned>(toRead));
    for (unsigned i = 0; i < count; ++i)
        workers.emplace_back(Work, std::ref(shared), i);

    const bool showProgress = !quiet && isatty(STDERR_FILENO);
    {
        std::unique_lock<std::mutex> hold(shared.lock);
        for (bool last = false; !last;) {
            // The last file may be done before the first wait begins.
            last = shared.progressed.wait_for(hold, std::chrono::milliseconds(200),
                                              [&]() { return shared.done == files.size() || shared.failed; });
            if (showProgress)
                std::fprintf(stderr, "\r%s %zu/%zu files, %llu/%llu MiB%s",
                             incoming.empty() ? "reading" : "publishing", shared.done, files.size(),
                             static_cast<unsigned long long>(shared.bytes >> 20),
                             static_cast<unsigned long long>(total >> 20), last ? "\n" : "");
        }
    }
    for (std::thread& t : workers)
        t.join();
    if (shared.failed) {
        std::fprintf(stderr, "korvanth-publish: %s\n", shared.error.c_str());
        return shared.code;
    }
    counts = shared.counts;
    return 0;
}
