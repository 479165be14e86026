// Reading a release folder. Symbolic links are common in release trees
// (shared assets, a folder linked in twice); each is published under its own
// name with its target's content. One that cannot be read that way, or that
// leads out of the release, stops the publish before the server folder is
// touched. The walk goes from folder descriptor to folder descriptor, so a
// folder swapped for a link while it runs is never entered.
#include "release_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "release_rules.h"
#include "signed_manifest.h"
#include "shown_text.h"

namespace fs = std::filesystem;

namespace {

// Never taken from a release folder: an updater built without keys cannot
// replace itself while it runs, so every player would fail it on every run
// (one built with keys reaches players with --updater, checked first), and
// update.url would send every player to the server it names.
const struct {
    const char* name;
    const char* why;
} LeftOut[] = {
    {"korvanthupdater.exe", "a running updater replaces itself only from a signed release's --updater"},
    {"update.url", "it would send every player to the server it names"},
};

// Local file systems, whose change time moves with every write, rename
// over and chmod, whatever the writer does to the modification time. On a
// network or FUSE file system (sshfs reports the modification time as the
// change time) a change that puts the modification time back looks like
// no change at all.
const unsigned long TrustedFileSystems[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
    0x2FC12FC1,  // zfs
    0xF2F52010,  // f2fs
    0x794C7630,  // overlayfs
    0xCA451A4E,  // bcachefs
    0x52654973,  // reiserfs
    0x3153464A,  // jfs
};

const struct {
    unsigned long type;
    const char* name;
} KnownUntrusted[] = {
    {0x65735546, "a FUSE file system (sshfs, ...)"},
    {0x6969, "an NFS file system"},
    {0xFF534D42, "a CIFS file system"},
    {0xFE534D42, "an SMB file system"},
    {0x517B, "an SMB file system"},
    {0x01021997, "a 9p file system"},
    {0x00C36400, "a Ceph file system"},
};

void Refuse(const std::string& path, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(path).c_str(), why.c_str());
}

bool IsLeftOut(const std::string& path)
{
    for (const auto& entry : LeftOut) {
        if (strcasecmp(path.c_str(), entry.name) == 0) {
            std::fprintf(stderr, "korvanth-publish: note: %s is not published: %s\n", Shown(path).c_str(),
                         entry.why);
            return true;
        }
    }
    return false;
}

struct Walk {
    std::string top;                             // the release folder as given
    std::string root;                            // its real path, '/' at the end
    std::vector<std::pair<dev_t, ino_t>> chain;  // the folders from root down to the one walked
    std::uint64_t manifestBytes;
    bool signing;
    ReleaseTree& tree;
};

// The folder at the top of the walk (or the walk's folder) is on a file
// system whose change times can be trusted; when not, its kind is noted.
bool TrustedFileSystem(Walk& walk, int folder)
{
    struct statfs info;
    if (fstatfs(folder, &info) != 0)
        return false;
    const unsigned long type = static_cast<unsigned long>(info.f_type);
    if (std::find(std::begin(TrustedFileSystems), std::end(TrustedFileSystems), type) !=
        std::end(TrustedFileSystems))
        return true;
    char unknown[64];
    std::snprintf(unknown, sizeof(unknown), "a file system of type 0x%lx", type);
    walk.tree.untrustedFileSystem = unknown;
    for (const auto& known : KnownUntrusted) {
        if (known.type == type)
            walk.tree.untrustedFileSystem = known.name;
    }
    return false;
}

// Shared assets kept beside the release are easy to link in by mistake, and
// so is a key or a configuration file: a link must stay inside the release.
// Resolved below the root as opened, never again from its name. source is
// what the link leads to, relative to the root.
bool LeadsInside(const Walk& walk, const std::string& path, std::string& target, std::string& source)
{
    char* real = realpath(("/proc/self/fd/" + std::to_string(walk.tree.root) + "/" + path).c_str(), nullptr);
    target = real != nullptr ? real : "";
    std::free(real);
    if ((target + "/").compare(0, walk.root.size(), walk.root) != 0)
        return false;
    source = target.size() < walk.root.size() ? "" : target.substr(walk.root.size());
    return true;
}

// The manifest line's length, counted as the files are found so that a
// release no updater could take is refused before any file is read.
bool WithinManifestLimit(Walk& walk, const std::string& path, std::uint64_t size)
{
    walk.manifestBytes += 32 + 1 + std::to_string(size).size() + 1 + path.size() + 1;
    // "#sha256", a tab, 64 digits, a tab, the path and a line feed.
    walk.manifestBytes += walk.signing ? 7 + 1 + 64 + 1 + path.size() + 1 : 0;
    if (walk.manifestBytes <= MaxManifestBytes)
        return true;
    std::fprintf(stderr,
                 "korvanth-publish: manifest.txt would pass %llu MiB after %zu files: every player's updater "
                 "refuses a longer one and starts the old client\n",
                 static_cast<unsigned long long>(MaxManifestBytes >> 20), walk.tree.files.size());
    return false;
}

// Where the walk stands: a folder's descriptor, its path as listed and
// below the root, its device and whether its change times can be trusted.
struct Place {
    int folder;
    std::string path;
    std::string source;
    dev_t device;
    bool trusted;
};

bool WalkFolder(Walk& walk, const Place& at, bool& ok);

// One name in an open folder, stat'ed relative to it: a path walked from
// the top for each of hundreds of thousands of files would cost more than
// the rest of the scan. False when the walk must stop at once.
bool WalkEntry(Walk& walk, const Place& at, const char* name, unsigned char type, bool& ok)
{
    const std::string path = at.path.empty() ? name : at.path + "/" + name;
    std::string source = at.source.empty() ? name : at.source + "/" + name;
    struct stat info;
    std::string target;
    if (fstatat(at.folder, name, &info, 0) != 0) {
        const int reason = errno;
        Refuse(path, reason == ENOENT  ? "is a symbolic link to nothing"
                     : reason == ELOOP ? "is a symbolic link that loops"
                                       : std::strerror(reason));
        ok = false;
        return true;
    }
    struct stat own;
    const bool isLink = type == DT_LNK ||
                        (type == DT_UNKNOWN && fstatat(at.folder, name, &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISLNK(own.st_mode));
    if (isLink && !LeadsInside(walk, path, target, source)) {
        Refuse(path, "is a symbolic link that leads out of the release folder, to " + target);
        ok = false;
    } else if (S_ISDIR(info.st_mode)) {
        const std::pair<dev_t, ino_t> id(info.st_dev, info.st_ino);
        if (std::find(walk.chain.begin(), walk.chain.end(), id) != walk.chain.end()) {
            Refuse(path, "is a symbolic link to a folder that holds it (a loop)");
            ok = false;
            return true;
        }
        // A folder that was no link when listed is entered only as a folder.
        const int inner = isLink ? OpenBeneath(walk.tree.root, source)
                                 : openat(at.folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat entered;
        if (inner < 0 || fstat(inner, &entered) != 0 || entered.st_ino != info.st_ino ||
            entered.st_dev != info.st_dev) {
            Refuse(path, inner < 0 ? std::strerror(errno) : "changed while the release was scanned");
            if (inner >= 0)
                close(inner);
            ok = false;
            return true;
        }
        walk.chain.push_back(id);
        const Place inside = {inner, path, source, info.st_dev,
                              info.st_dev == at.device ? at.trusted : TrustedFileSystem(walk, inner)};
        const bool goOn = WalkFolder(walk, inside, ok);
        walk.chain.pop_back();
        return goOn;
    } else if (S_ISREG(info.st_mode)) {
        ReleaseFile file;
        file.path = path;
        file.source = source;
        file.stamp = StampOf(info);
        // A file on another device than its folder is on another file
        // system, of a kind not looked at: its stamp is not trusted.
        file.trustedStamp = at.trusted && info.st_dev == at.device;
        file.hardLinked = info.st_nlink > 1;
        walk.tree.files.push_back(file);
        return WithinManifestLimit(walk, path, file.stamp.size);
    } else {
        Refuse(path, "is not a regular file");
        ok = false;
    }
    return true;
}

// Takes at.folder (an open descriptor) and closes it.
bool WalkFolder(Walk& walk, const Place& at, bool& ok)
{
    DIR* listing = fdopendir(at.folder);
    if (listing == nullptr) {
        Refuse(at.path.empty() ? walk.top : at.path, std::strerror(errno));
        close(at.folder);
        ok = false;
        return true;
    }
    bool goOn = true;
    errno = 0;
    for (struct dirent* entry; goOn && (entry = readdir(listing)) != nullptr; errno = 0) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (!at.path.empty() || !IsLeftOut(name))
            goOn = WalkEntry(walk, at, entry->d_name, entry->d_type, ok);
    }
    if (goOn && errno != 0) {
        Refuse(at.path.empty() ? walk.top : at.path, std::strerror(errno));
        ok = false;
    }
    closedir(listing);
    return goOn;
}

}  // namespace

int OpenBeneath(int root, const std::string& path)
{
    int folder = root;
    std::string::size_type start = 0;
    for (std::string::size_type slash; (slash = path.find('/', start)) != std::string::npos;
         start = slash + 1) {
        const int inner = openat(folder, path.substr(start, slash - start).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder != root)
            close(folder);
        if (inner < 0)
            return -1;
        folder = inner;
    }
    const int fd = openat(folder, path.empty() ? "." : path.c_str() + start,
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int reason = errno;
    if (folder != root)
        close(folder);
    errno = reason;
    return fd;
}

bool ScanRelease(const fs::path& root, bool signing, ReleaseTree& tree)
{
    struct stat info;
    // Resolved once: everything after is found below this descriptor.
    char* real = realpath(root.c_str(), nullptr);
    const std::string rootReal = real != nullptr ? real : "";
    std::free(real);
    tree.root = rootReal.empty() ? -1 : open(rootReal.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tree.root < 0 || fstat(tree.root, &info) != 0) {
        Refuse(root.string(), "not a folder");
        return false;
    }
    // The signature line: its tag, a key id, base64 of a signature of up to
    // 8,192 bits and the tabs and line feed around them.
    Walk walk = {root.string(),
                 rootReal == "/" ? rootReal : rootReal + "/",
                 {std::make_pair(info.st_dev, info.st_ino)},
                 signing ? 10U + 1 + 16 + 1 + 1368 + 1 : 0,
                 signing,
                 tree};
    bool ok = true;
    const int top = dup(tree.root);
    const Place at = {top, "", "", info.st_dev, top >= 0 && TrustedFileSystem(walk, top)};
    if (top < 0 || !WalkFolder(walk, at, ok))
        return false;
    std::vector<ReleaseFile>& files = tree.files;
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    // Names are checked once the walk is through: a release far too large is
    // refused before any time goes into them.
    std::vector<std::string> paths;
    for (const ReleaseFile& f : files) {
        // The record is the tool's own: players' folders hold it as the
        // serial of the release they took.
        const std::string why = strcasecmp(f.path.c_str(), ReleaseRecordName) == 0
                                    ? "is the name of the file korvanth-publish adds to every signed release "
                                      "(the serial players' updaters compare): rename it"
                                    : WhyRefused(f.path);
        if (!why.empty()) {
            Refuse(f.path, why);
            ok = false;
        }
        paths.push_back(f.path);
    }
    for (const auto& pair : CaseCollisions(paths)) {
        Refuse(pair.second, "differs from " + Shown(pair.first) + " only by case; Windows keeps one");
        ok = false;
    }
    if (ok && files.empty()) {
        Refuse(root.string(), "the release has no file to publish");
        ok = false;
    }
    if (ok && !std::any_of(files.begin(), files.end(),
                           [](const ReleaseFile& f) { return f.path == "Korvanth.exe"; }))
        std::fprintf(stderr, "korvanth-publish: warning: the release has no Korvanth.exe\n");
    return ok;
}
