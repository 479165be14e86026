// The state as lines of text, "name TAB value", written whole through a
// temporary file (whole_file.h) and read without following a link. Its
// folder is checked the way ssh checks ~/.ssh: a folder others could write
// would let them write the state too.
#include "publisher_state.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "file_md5.h"
#include "shown_text.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const char Format[] = "korvanth-publish state 1";

bool Refuse(const fs::path& where, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(where.string()).c_str(), why.c_str());
    return false;
}

fs::path StateFolder()
{
    const char* given = std::getenv("KORVANTH_PUBLISH_STATE");
    if (given != nullptr && given[0] != '\0')
        return given;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return fs::path(state) / "korvanth-publish";
    const char* home = std::getenv("HOME");
    const struct passwd* user = home == nullptr || home[0] == '\0' ? getpwuid(geteuid()) : nullptr;
    return fs::path(user != nullptr ? user->pw_dir : home) / ".local/state/korvanth-publish";
}

// The folder, made when missing (its parents 0755, itself 0700), and only
// when it is this user's alone.
bool TrustedFolder(const fs::path& folder)
{
    std::error_code error;
    if (!fs::exists(fs::symlink_status(folder, error))) {
        fs::create_directories(folder.parent_path(), error);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return Refuse(folder, std::strerror(errno));
    }
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0)
        return Refuse(folder, std::strerror(errno));
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & 022) != 0)
        return Refuse(folder,
                      "the release tool's state must lie in a folder of this user's alone (not a link, "
                      "not writable by others): what is written there decides what a signed publish "
                      "trusts; set KORVANTH_PUBLISH_STATE to another folder, or mend this one");
    return true;
}

// One file per server folder, named after its real path: a state copied
// with a server folder describes releases that are not there.
fs::path StateFile(const fs::path& server, std::string& id)
{
    std::error_code error;
    id = fs::weakly_canonical(server, error).string();
    std::string digest;
    Sha256OfText(id, digest);
    return StateFolder() / (digest.substr(0, 32) + ".state");
}

unsigned long Number(const std::string& text)
{
    return std::strtoul(text.c_str(), nullptr, 10);
}

}  // namespace

fs::path StagedTextFile(const fs::path& server)
{
    std::string id;
    return fs::path(StateFile(server, id).string() + ".staged");
}

bool LoadState(const fs::path& server, PublisherState& state)
{
    state = PublisherState();
    std::string id, text;
    const fs::path file = StateFile(server, id);
    if (!TrustedFolder(file.parent_path()))
        return false;
    if (!ReadWholeFile(file, text, 1 << 20, O_NOFOLLOW))
        return errno == ENOENT || Refuse(file, std::strerror(errno));
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != Format)
        return Refuse(file, "is not a state of this release tool: move it away");
    while (std::getline(lines, line)) {
        const std::string::size_type tab = line.find('\t');
        const std::string name = line.substr(0, tab),
                          value = tab == std::string::npos ? "" : line.substr(tab + 1);
        if (name == "server" && value != id)
            return Refuse(file, "belongs to another server folder: move it away");
        if (name == "serial")
            state.serial = std::strtoull(value.c_str(), nullptr, 10);
        else if (name == "live")
            state.live = Number(value);
        else if (name == "key")
            state.keyId = value;
        else if (name == "keyder")
            state.keyDer = value;
        else if (name == "index")
            state.indexSha256 = value;
        else if (name == "updater")
            state.updaterSha256 = value;
        else if (name == "made") {
            MadeRelease made;
            unsigned long release = 0;
            std::istringstream(value) >> release >> made.manifestSha256 >> made.filesOf;
            state.made[release] = made;
        } else if (name == "staged")
            std::istringstream(value) >> state.staged >> state.stagedOver >> state.stagedSerial >>
                state.stagedSha256 >> state.stagedKeyId >> state.stagedKeyDer >> state.stagedIndexSha256 >>
                state.stagedUpdaterSha256;
        for (std::string* digest : {&state.stagedIndexSha256, &state.stagedUpdaterSha256})
            *digest = *digest == "-" ? "" : *digest;
    }
    state.found = true;
    return true;
}

bool SaveState(const fs::path& server, const PublisherState& state)
{
    std::string id;
    const fs::path file = StateFile(server, id);
    std::ostringstream text;
    text << Format << "\nserver\t" << id << "\nserial\t" << state.serial << "\nlive\t" << state.live
         << "\nkey\t" << state.keyId << "\nkeyder\t" << state.keyDer << "\nindex\t" << state.indexSha256
         << "\nupdater\t" << state.updaterSha256 << "\n";
    for (const auto& m : state.made)
        text << "made\t" << m.first << " " << m.second.manifestSha256 << " " << m.second.filesOf << "\n";
    // Empty digests as "-", so that the fields keep their places.
    const auto field = [](const std::string& value) { return value.empty() ? std::string("-") : value; };
    if (state.staged != 0)
        text << "staged\t" << state.staged << " " << state.stagedOver << " " << state.stagedSerial << " "
             << state.stagedSha256 << " " << state.stagedKeyId << " " << state.stagedKeyDer << " "
             << field(state.stagedIndexSha256) << " " << field(state.stagedUpdaterSha256) << "\n";
    if (TrustedFolder(file.parent_path()) && WriteWholeFile(file.string(), text.str(), 0600))
        return true;
    return Refuse(file,
                  std::string("the release tool's state could not be written: ") + std::strerror(errno));
}
