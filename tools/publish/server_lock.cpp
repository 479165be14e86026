// The lock file is created whole under its name (written beside it, then
// hard-linked into place), opened without following a link and without
// waiting on a pipe, and kept private to its owner: anyone who can open it
// can hold it, and keep every publish out.
#include "server_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "shown_text.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char LockName[] = ".publish.lock";
const char Publisher[] = "korvanth-publish";

int Refuse(const fs::path& where, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(where.string()).c_str(), why.c_str());
    return 2;
}

// A folder with a live release and no lock file: a mirror's (which never
// had one before the lock said whose a folder is), unless it has the index
// only the release tool keeps, say after its lock was removed.
bool IsOldMirror(const fs::path& server)
{
    struct stat info;
    return lstat((server / "current").c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
           lstat((server / ".publish-index").c_str(), &info) != 0;
}

// Creates the lock naming the release tool, unless a lock is there already.
// Written under a name of its own, then linked: the lock never exists
// without its owner's name, and link() neither follows nor replaces.
bool Claim(const fs::path& lock)
{
    WholeFile claim;
    if (!BeginWholeFile(lock.string(), 0600, claim))
        return false;
    const std::string text = std::string(Publisher) + "\n";
    const bool made = write(claim.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                      (link(claim.temporary.c_str(), lock.c_str()) == 0 || errno == EEXIST);
    const int reason = errno;
    AbandonWholeFile(claim);
    errno = reason;
    return made;
}

}  // namespace

int LockServerFolder(const fs::path& server)
{
    const fs::path lock = server / LockName;
    struct stat named;
    if (lstat(lock.c_str(), &named) != 0) {
        if (errno != ENOENT)
            return Refuse(lock, std::strerror(errno));
        if (IsOldMirror(server))
            return Refuse(server, "is a mirror made by korvanth-mirror: publish into the origin's server "
                                  "folder, and mirror from there");
        if (!Claim(lock))
            return Refuse(lock, std::strerror(errno));
        lstat(lock.c_str(), &named);
    }
    if (S_ISLNK(named.st_mode) || !S_ISREG(named.st_mode))
        return Refuse(
            lock, std::string(S_ISLNK(named.st_mode) ? "is a symbolic link" : "is not a regular file") +
                      ": not opened; remove it (the next run makes a lock of its own), and find out who put "
                      "it there");
    const int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
        const int reason = errno;
        if (fd >= 0)
            close(fd);
        return Refuse(lock, std::strerror(reason));
    }
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino || !S_ISREG(opened.st_mode)) {
        close(fd);
        return Refuse(lock, "was replaced while it was opened; nothing was changed");
    }
    // Whose folder it is, first: another tool's folder is refused as such,
    // whoever owns its lock, and that is what the operator needs to hear
    // (root rolling back a mirror's folder is pointed at the origin, not at
    // the mirror's lock).
    char owner[64] = "";
    const ssize_t got = read(fd, owner, sizeof(owner) - 1);
    owner[got > 0 ? got : 0] = '\0';
    owner[std::strcspn(owner, "\n")] = '\0';
    if (owner[0] != '\0' && std::strcmp(owner, Publisher) != 0) {
        close(fd);
        return Refuse(server,
                      std::string("is a folder of ") + Shown(owner) +
                          (std::strcmp(owner, "korvanth-mirror") == 0
                               ? " (a mirror): publish into the origin's server folder, and mirror from there"
                               : ", not of korvanth-publish"));
    }
    // Another user's lock is never used, and its removal is advised only
    // while no run holds it: removing a held lock would let a second run
    // write beside the one holding it. Finding out takes the lock for a
    // moment when it is free.
    if (opened.st_uid != geteuid()) {
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(fd);
        return Refuse(lock,
                      "belongs to another user (uid " + std::to_string(opened.st_uid) +
                          (held ? "), and a run holds it now: nothing was changed; run this again once "
                                  "that run has ended"
                                : "), who could hold it and keep every publish out: remove it (the next "
                                  "run makes a lock of its own)"));
    }
    // Made 0644 by older release tools: any local user could have held it.
    if ((opened.st_mode & 077) != 0)
        fchmod(fd, 0600);
    // Held until the process ends, however it ends: the kernel drops the
    // lock of a killed publish. A second publish refuses rather than waits:
    // started later, it would go live before or after the first by chance.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    const int reason = errno;
    close(fd);
    return Refuse(server,
                  reason == EWOULDBLOCK
                      ? "another korvanth-publish or korvanth-mirror run is writing into this folder; "
                        "nothing was changed, run this again once it has ended"
                      : std::strerror(reason));
}
