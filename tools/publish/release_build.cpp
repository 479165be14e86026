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
#include "masked_url.h"

namespace fs = std::filesystem;

namespace {

struct Shared {
    Shared(std::vector<ReleaseFile>& f, const fs::path& from, const fs::path& in, const fs::path& live,
           const ReleaseIndex& known)
        : files(f), release(from), incoming(in), liveFiles(live), index(known)
    {
    }
    std::vector<ReleaseFile>& files;
    const fs::path& release;
    const fs::path& incoming;
    const fs::path& liveFiles;
    const ReleaseIndex& index;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;  // guards what follows
    std::condition_variable progressed;
    std::size_t done = 0;
    std::uint64_t bytes = 0;
    BuildCounts counts;
    std::string error;
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
                error = MaskCredentials(where.string()) + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

// One file into the new release; false with why.
bool Place(Shared& shared, ReleaseFile& file, const std::string& temporary, bool& copied, std::string& why)
{
    const fs::path target = shared.incoming / "files" / file.path;
    const fs::path live = shared.liveFiles / file.path;
    copied = false;
    if (file.unchanged) {
        if (link(live.c_str(), target.c_str()) == 0)
            return true;
        file.unchanged = false;  // gone or full of links: a copy of its own
    }
    CopiedFile copy;
    if (!CopyHashed((shared.release / file.path).string(), temporary, copy, why))
        return false;
    file.md5 = copy.md5;
    file.size = copy.size;
    file.stamp = copy.source;
    const auto known = shared.index.entries.find(file.path);
    if (known != shared.index.entries.end() && known->second.md5 == copy.md5 &&
        known->second.published.size == copy.size &&
        (known->second.published.mode & 07777) == PublishedMode(copy.source.mode) &&
        LiveCopyIs(live, known->second.published) && link(live.c_str(), target.c_str()) == 0) {
        file.unchanged = true;
        unlink(temporary.c_str());
        return true;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
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
    for (std::size_t i = shared.next++; i < shared.files.size() && !shared.failed; i = shared.next++) {
        ReleaseFile& file = shared.files[i];
        const bool wasUnchanged = file.unchanged;
        bool copied = false;
        std::string why;
        const bool ok = Place(shared, file, temporary, copied, why);
        std::lock_guard<std::mutex> hold(shared.lock);
        if (!ok && !shared.failed.exchange(true))
            shared.error = MaskCredentials(file.path) + ": " + why;
        ++shared.done;
        shared.bytes += file.stamp.size;
        shared.counts.copied += copied ? 1 : 0;
        shared.counts.read += wasUnchanged && file.unchanged ? 0 : 1;
        shared.progressed.notify_one();
    }
}

}  // namespace

std::size_t MarkUnchanged(std::vector<ReleaseFile>& files, const fs::path& liveFiles,
                          const ReleaseIndex& index)
{
    std::size_t count = 0;
    for (ReleaseFile& f : files) {
        const auto known = index.entries.find(f.path);
        f.unchanged = known != index.entries.end() && !liveFiles.empty() &&
                      StillClean(index, known->second, f.stamp) &&
                      LiveCopyIs(liveFiles / f.path, known->second.published);
        if (f.unchanged) {
            f.md5 = known->second.md5;
            f.size = known->second.published.size;
            ++count;
        }
    }
    return count;
}

int BuildFiles(std::vector<ReleaseFile>& files, const fs::path& release, const fs::path& incoming,
               const fs::path& liveFiles, const ReleaseIndex& index, bool quiet, BuildCounts& counts)
{
    Shared shared(files, release, incoming, liveFiles, index);
    const fs::path top = incoming / "files";
    if (mkdir(top.c_str(), 0755) != 0 || chmod(top.c_str(), 0755) != 0 ||
        !MakeFolders(files, top, shared.error)) {
        if (shared.error.empty())
            shared.error = MaskCredentials(top.string()) + ": " + std::strerror(errno);
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
                std::fprintf(stderr, "\rpublishing %zu/%zu files, %llu/%llu MiB%s", shared.done, files.size(),
                             static_cast<unsigned long long>(shared.bytes >> 20),
                             static_cast<unsigned long long>(total >> 20), last ? "\n" : "");
        }
    }
    for (std::thread& t : workers)
        t.join();
    if (shared.failed) {
        std::fprintf(stderr, "korvanth-publish: %s\n", shared.error.c_str());
        return 2;
    }
    counts = shared.counts;
    return 0;
}
