// korvanth-publish: turns a game release folder into a patch server folder
// that every player's updater can take, switches back to an earlier release,
// and checks what a server folder or a live server really serves.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "purge_list.h"
#include "release_scan.h"
#include "release_store.h"
#include "server_check.h"

namespace fs = std::filesystem;

namespace {

const char Usage[] =
    "usage: korvanth-publish [--quiet] [--keep N] [--purge-list FILE] RELEASE_DIR SERVER_DIR\n"
    "       korvanth-publish --rollback [--quiet] [--purge-list FILE] SERVER_DIR\n"
    "       korvanth-publish --check [--cacert FILE] [--timeout SECONDS] [--quiet] SERVER_DIR|URL\n"
    "       korvanth-publish --diff [--purge-list FILE] OLD_MANIFEST NEW_MANIFEST\n"
    "\n"
    "Publishes the game release in RELEASE_DIR as a new release in SERVER_DIR and makes it live\n"
    "in one step: serve SERVER_DIR/current at the updater's base URL. Players keep getting the\n"
    "previous release, whole, until the new one is complete. KorvanthUpdater.exe and update.url\n"
    "are never published: they ship with the game's installer.\n"
    "\n"
    "  --keep N      releases kept before the live one, for --rollback (default 3)\n"
    "  --rollback    make the release before the live one live again\n"
    "  --check       verify that every listed file is served with its size and digest: in\n"
    "                SERVER_DIR's live release, or over HTTP(S) below the base URL URL\n"
    "  --cacert FILE with --check URL: trust the CA certificates in FILE (PEM)\n"
    "  --timeout SECONDS\n"
    "                with --check URL: give up after this long in all (default 3600)\n"
    "  --purge-list FILE\n"
    "                write to FILE the URL paths below the base URL that a cache in front of\n"
    "                the server must forget after this publish or rollback: manifest.txt\n"
    "                first, then each files/<path> added, changed or dropped, escaped as the\n"
    "                updater requests it; empty when nothing changed\n"
    "  --diff        the same list between two manifest files (on standard output without\n"
    "                --purge-list), for mirrors and object stores\n"
    "  --quiet       no progress or summary on standard output\n"
    "  --help        this text\n"
    "\n"
    "Exit codes: 0 done, 1 release refused, nothing to roll back or check failed,\n"
    "2 usage or I/O error.\n";

int UsageError(const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s\n%s", why.c_str(), Usage);
    return 2;
}

bool Contains(const fs::path& outer, const fs::path& inner)
{
    const std::string o = outer.string() + "/";
    const std::string i = inner.string() + "/";
    return i.compare(0, o.size(), o) == 0;
}

int Publish(const fs::path& release, const fs::path& server, std::size_t keep, const std::string& purgeList,
            bool quiet)
{
    std::error_code error;
    const fs::path releaseReal = fs::weakly_canonical(release, error);
    const fs::path serverReal = fs::weakly_canonical(server, error);
    if (error)
        return UsageError(server.string() + ": " + error.message());
    if (Contains(releaseReal, serverReal) || Contains(serverReal, releaseReal)) {
        std::fprintf(stderr,
                     "korvanth-publish: the release and server folders must not contain each other\n");
        return 2;
    }
    if (!fs::is_directory(release, error)) {
        std::fprintf(stderr, "korvanth-publish: %s: not a folder\n", release.c_str());
        return 2;
    }
    std::vector<ReleaseFile> files;
    if (!ScanRelease(release, files))
        return 1;
    bool hasGame = false;
    for (const ReleaseFile& f : files)
        hasGame = hasGame || f.path == "Korvanth.exe";
    if (!hasGame)
        std::fprintf(stderr, "korvanth-publish: warning: the release has no Korvanth.exe\n");
    if (!HashRelease(files))
        return 2;
    return PublishRelease(files, server, keep, purgeList, quiet);
}

bool ReadWhole(const std::string& path, std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        text.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

int Diff(const std::string& before, const std::string& after, const std::string& purgeList)
{
    std::string oldText, newText;
    for (const auto& file : {std::make_pair(&before, &oldText), std::make_pair(&after, &newText)}) {
        if (!ReadWhole(*file.first, *file.second)) {
            std::fprintf(stderr, "korvanth-publish: %s: %s\n", file.first->c_str(), std::strerror(errno));
            return 2;
        }
    }
    const std::vector<std::string> list = PurgeList(oldText, newText);
    if (!purgeList.empty())
        return WritePurgeList(purgeList, list) ? 0 : 2;
    for (const std::string& p : list)
        std::printf("%s\n", p.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    enum { PublishMode, CheckMode, RollbackMode, DiffMode } mode = PublishMode;
    bool quiet = false;
    std::size_t keep = DefaultKeptReleases;
    std::string caFile;
    std::string purgeList;
    long timeoutSeconds = DefaultCheckTimeoutSeconds;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if ((arg == "--cacert" || arg == "--keep" || arg == "--purge-list" || arg == "--timeout") &&
            !hasValue)
            return UsageError(arg + " needs a value");
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "--check") {
            mode = CheckMode;
        } else if (arg == "--rollback") {
            mode = RollbackMode;
        } else if (arg == "--diff") {
            mode = DiffMode;
        } else if (arg == "--timeout" && hasValue) {
            char* end = nullptr;
            timeoutSeconds = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || timeoutSeconds <= 0)
                return UsageError(std::string("--timeout takes a number of seconds, not ") + argv[i]);
        } else if (arg == "--purge-list" && hasValue) {
            purgeList = argv[++i];
        } else if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg == "--cacert" && hasValue) {
            caFile = argv[++i];
        } else if (arg == "--keep" && hasValue) {
            char* end = nullptr;
            keep = std::strtoul(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0')
                return UsageError(std::string("--keep takes a number, not ") + argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            operands.push_back(arg);
        }
    }
    if (mode == CheckMode && operands.size() == 1) {
        const std::string& target = operands[0];
        if (target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0)
            return CheckUrl(target, caFile, timeoutSeconds, quiet);
        return CheckFolder(target, quiet);
    }
    if (mode == RollbackMode && operands.size() == 1)
        return RollBack(operands[0], purgeList, quiet);
    if (mode == DiffMode && operands.size() == 2)
        return Diff(operands[0], operands[1], purgeList);
    if (mode == PublishMode && operands.size() == 2)
        return Publish(operands[0], operands[1], keep, purgeList, quiet);
    std::fputs(Usage, stderr);
    return 2;
}
