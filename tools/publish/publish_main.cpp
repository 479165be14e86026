// korvanth-publish: turns a game release folder into a patch server folder
// that every player's updater can take, switches back to an earlier release,
// and checks what a server folder or a live server really serves.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "origin_check.h"
#include "shown_text.h"
#include "publish_usage.h"
#include "purge_list.h"
#include "release_keys_tool.h"
#include "release_signing.h"
#include "release_staging.h"
#include "release_store.h"
#include "server_check.h"
#include "signing_options.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// Every message that echoes an argument goes through Shown: an operator may
// give a URL with a password anywhere. Only a command line that is not
// understood gets the usage text.
int UsageError(const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s\n%s", Shown(why).c_str(), Usage);
    return 2;
}

int Refused(const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s\n", Shown(why).c_str());
    return 2;
}

bool Contains(const fs::path& outer, const fs::path& inner)
{
    const std::string o = outer.string() + "/";
    const std::string i = inner.string() + "/";
    return i.compare(0, o.size(), o) == 0;
}

int Publish(const fs::path& release, const fs::path& server, const PublishOptions& options)
{
    if (server.string().find("://") != std::string::npos)
        return Refused(server.string() +
                       ": SERVER_DIR is a folder on this machine; copy a release to another "
                       "server with korvanth-mirror");
    std::error_code releaseError, serverError;
    const fs::path releaseReal = fs::weakly_canonical(release, releaseError);
    const fs::path serverReal = fs::weakly_canonical(server, serverError);
    if (releaseError || serverError)
        return Refused((releaseError ? release : server).string() + ": " +
                       (releaseError ? releaseError : serverError).message());
    if (Contains(releaseReal, serverReal) || Contains(serverReal, releaseReal))
        return Refused("the release and server folders must not contain each other");
    std::error_code error;
    if (!fs::is_directory(release, error))
        return Refused(release.string() + ": not a folder");
    return PublishRelease(release, server, options);
}

int Diff(const std::string& before, const std::string& after, const std::string& purgeList)
{
    std::string oldText, newText;
    for (const auto& file : {std::make_pair(&before, &oldText), std::make_pair(&after, &newText)}) {
        if (!ReadWholeFile(*file.first, *file.second)) {
            std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(*file.first).c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    const std::vector<std::string> list = PurgeList(oldText, newText);
    WholeFile file;
    if (!purgeList.empty() && !BeginPurgeList(purgeList, file))
        return 2;
    if (!purgeList.empty() && !FinishPurgeList(file, list))
        return Refused(purgeList + ": " + std::strerror(errno));
    if (!purgeList.empty())
        return 0;
    for (const std::string& p : list)
        std::printf("%s\n", p.c_str());
    return 0;
}

enum Mode {
    PublishMode = 1,
    RollbackMode = 2,
    CheckMode = 4,
    DiffMode = 8,
    ListMode = 16,
    ResignMode = 32,
    SignStagedMode = 256,
    GoLiveMode = 512,
};
// A release key's modes, which touch no server.
enum KeyMode { GenerateKeyMode = 64, KeyIdMode = 128 };

// What signs: a publish, a rollback and a re-signing alike.
const unsigned SigningModes = PublishMode | RollbackMode | ResignMode;

struct ModeEntry {
    unsigned mode;
    const char* option;  // what selects it; publishing is what runs without one
    std::size_t operands;
    const char* what;
};

const ModeEntry Modes[] = {
    {PublishMode, "publishing", 2, "RELEASE_DIR and SERVER_DIR"},
    {RollbackMode, "--rollback", 1, "SERVER_DIR"},
    {CheckMode, "--check", 1, "SERVER_DIR or URL"},
    {DiffMode, "--diff", 2, "OLD_MANIFEST and NEW_MANIFEST"},
    {ListMode, "--list", 1, "SERVER_DIR"},
    {ResignMode, "--resign", 1, "SERVER_DIR"},
    {SignStagedMode, "--sign-staged", 1, "TO_SIGN (and the key as its value)"},
    {GoLiveMode, "--go-live", 1, "SERVER_DIR (and the signature as its value)"},
    {GenerateKeyMode, "--generate-key", 1, "KEY.pem"},
    {KeyIdMode, "--key-id", 1, "a key or updater FILE"},
};

struct OptionEntry {
    const char* name;
    bool takesValue;
    unsigned modes;  // where it belongs; for a mode's own option, that mode alone
};

const OptionEntry Options[] = {
    {"--rollback", false, RollbackMode},
    {"--check", false, CheckMode},
    {"--diff", false, DiffMode},
    {"--list", false, ListMode},
    {"--resign", false, ResignMode},
    {"--generate-key", false, GenerateKeyMode},
    {"--key-id", false, KeyIdMode},
    {"--quiet", false, SigningModes | CheckMode | GoLiveMode},
    {"--keep", true, PublishMode | GoLiveMode},
    {"--dry-run", false, PublishMode},
    {"--rehash", false, PublishMode},
    {"--trust-stat", false, PublishMode},
    {"--purge-list", true, SigningModes | DiffMode | GoLiveMode},
    {"--cacert", true, CheckMode},
    {"--origin", true, CheckMode},
    {"--timeout", true, CheckMode},
    {"--sign", true, SigningModes},
    {"--sign-command", true, SigningModes},
    {"--sign-digest-command", true, SigningModes},
    {"--sign-timeout", true, SigningModes},
    {"--release-key", true, SigningModes | CheckMode},
    {"--new-key", false, SigningModes},
    {"--expires-in", true, SigningModes},
    {"--updater", true, PublishMode},
    {"--stage", true, PublishMode | ResignMode},
    {"--sign-staged", true, SignStagedMode},
    {"--go-live", true, GoLiveMode},
};

// The one option that may be given more than once: keys old and new.
const char RepeatedOption[] = "--release-key";

const OptionEntry* FindOption(const std::string& name)
{
    for (const OptionEntry& o : Options) {
        if (name == o.name)
            return &o;
    }
    return nullptr;
}

const ModeEntry* FindMode(const std::string& option)
{
    for (const ModeEntry& m : Modes) {
        if (option == m.option)
            return &m;
    }
    return nullptr;
}

// A whole number from 0 to max, digits only: no sign, no blanks, no suffix.
bool ParseCount(const std::string& text, unsigned long max, unsigned long& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoul(text);
    return value <= max;
}

// A number of seconds, minutes, hours or days ("90d"), more than 0 and at
// most max seconds.
bool ParseDuration(const std::string& text, std::int64_t max, std::int64_t& seconds)
{
    const std::string units = "smhd";
    const std::int64_t scale[] = {1, 60, 3600, 86400};
    unsigned long number = 0;
    const std::string::size_type unit = text.empty() ? std::string::npos : units.find(text.back());
    if (unit == std::string::npos || !ParseCount(text.substr(0, text.size() - 1), 100000000, number) ||
        number == 0)
        return false;
    seconds = static_cast<std::int64_t>(number) * scale[unit];
    return seconds <= max;
}

struct CommandLine {
    const ModeEntry* mode = &Modes[0];
    std::map<std::string, std::string> given;  // option -> value ("" for one without)
    std::vector<std::string> releaseKeys;      // every --release-key
    std::vector<std::string> operands;
};

std::string Given(const CommandLine& line, const char* option)
{
    const auto found = line.given.find(option);
    return found == line.given.end() ? "" : found->second;
}

// Empty when argv is a whole, valid command line; otherwise why not.
std::string Parse(int argc, char** argv, CommandLine& line)
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        // -q, the one short form, kept for the scripts that use it.
        const std::string arg = std::strcmp(argv[i], "-q") == 0 ? "--quiet" : argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            line.operands.push_back(arg);
            continue;
        }
        optionsEnd = arg == "--";
        const OptionEntry* option = optionsEnd ? nullptr : FindOption(arg);
        if (optionsEnd)
            continue;
        if (option == nullptr)
            return "unknown option " + arg;
        if (line.given.count(arg) != 0 && arg != RepeatedOption)
            return arg + " is given twice";
        if (option->takesValue && i + 1 == argc)
            return arg + " needs a value";
        line.given[arg] = option->takesValue ? argv[++i] : "";
        if (arg == RepeatedOption)
            line.releaseKeys.push_back(line.given[arg]);
        const ModeEntry* mode = FindMode(arg);
        if (mode != nullptr && line.mode != &Modes[0])
            return std::string(line.mode->option) + " and " + arg + " cannot be used together";
        if (mode != nullptr)
            line.mode = mode;
    }
    for (const auto& given : line.given) {
        if ((FindOption(given.first)->modes & line.mode->mode) == 0)
            return given.first + " does not go with " + line.mode->option;
    }
    if (line.operands.size() != line.mode->operands)
        return std::string(line.mode->option) + " takes " + line.mode->what + " (" +
               std::to_string(line.operands.size()) + " given" +
               (line.operands.empty() ? "" : ": " + line.operands.back()) + ")";
    return "";
}

int Run(const CommandLine& line)
{
    const bool quiet = line.given.count("--quiet") != 0;
    const std::vector<std::string>& operands = line.operands;
    unsigned long number = 0;
    switch (line.mode->mode) {
    case CheckMode: {
        long timeoutSeconds = DefaultCheckTimeoutSeconds;
        if (line.given.count("--timeout") != 0) {
            if (!ParseCount(Given(line, "--timeout"), 100000000, number) || number == 0)
                return UsageError("--timeout takes a number of seconds, not " + Given(line, "--timeout"));
            timeoutSeconds = static_cast<long>(number);
        }
        CheckOptions options;
        options.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        options.quiet = quiet;
        options.caFile = Given(line, "--cacert");
        options.origin = Given(line, "--origin");
        // Any scheme is a URL: libcurl refuses the ones it does not speak, and
        // the folder check would print a mistyped one, password and all.
        const bool isUrl = operands[0].find("://") != std::string::npos;
        if (line.given.count("--cacert") != 0 && !isUrl && options.origin.find("://") == std::string::npos)
            return UsageError(
                "--cacert goes with --check URL or --origin URL, not with server folders alone");
        if (!LoadPublicKeys(line.releaseKeys, options.keys))
            return 2;
        if (!options.origin.empty() && !ReadOriginManifest(options))
            return 1;
        return isUrl ? CheckUrl(operands[0], options) : CheckFolder(operands[0], options);
    }
    case DiffMode:
        return Diff(operands[0], operands[1], Given(line, "--purge-list"));
    case ListMode:
        return ListReleases(operands[0]);
    case SignStagedMode:
        return SignStaged(Given(line, "--sign-staged"), operands[0]);
    case GenerateKeyMode:
        return GenerateReleaseKey(operands[0]);
    case KeyIdMode:
        return ShowKeyId(operands[0]);
    default:
        break;
    }
    PublishOptions options;
    if (line.given.count("--keep") != 0) {
        if (!ParseCount(Given(line, "--keep"), 1000000, number))
            return UsageError("--keep takes a number from 0 up, not " + Given(line, "--keep"));
        options.keep = number;
    }
    if (line.given.count("--expires-in") != 0 &&
        !ParseDuration(Given(line, "--expires-in"), MaxExpiresIn, options.expiresIn))
        return UsageError("--expires-in takes a number followed by s, m, h or d, up to 90d, not " +
                          Given(line, "--expires-in"));
    options.purgeList = Given(line, "--purge-list");
    options.quiet = quiet;
    options.dryRun = line.given.count("--dry-run") != 0;
    options.rehash = line.given.count("--rehash") != 0;
    options.trustStat = line.given.count("--trust-stat") != 0;
    if (line.given.count("--sign-timeout") != 0) {
        if (!ParseCount(Given(line, "--sign-timeout"), 100000000, number) || number == 0)
            return UsageError("--sign-timeout takes a number of seconds, not " +
                              Given(line, "--sign-timeout"));
        options.signTimeout = static_cast<long>(number);
    }
    const std::string signer = TakeSigner(line.given, line.releaseKeys, line.mode->mode == ResignMode,
                                          options);
    if (!signer.empty())
        return UsageError(signer);
    if (line.mode->mode == RollbackMode)
        return RollBack(operands[0], options);
    if (line.mode->mode == ResignMode)
        return Resign(operands[0], options);
    if (line.mode->mode == GoLiveMode)
        return GoLiveStaged(Given(line, "--go-live"), operands[0], options.purgeList, options.keep, quiet);
    return Publish(operands[0], operands[1], options);
}

}  // namespace

int main(int argc, char** argv)
{
    // A --sign-command that ends without reading all it is given must not
    // end the publish with it; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvanth-publish %s\n", KORVANTH_PUBLISH_VERSION);
            return 0;
        }
    }
    CommandLine line;
    const std::string why = Parse(argc, argv, line);
    return why.empty() ? Run(line) : UsageError(why);
}
