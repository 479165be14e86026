// Checked once the command line is read, before anything is opened: a
// mistyped signer is a usage error, never a half-signed operation.
#include "signing_options.h"

std::string TakeSigner(const std::map<std::string, std::string>& given,
                       const std::vector<std::string>& releaseKeys, bool resign, PublishOptions& options)
{
    const auto value = [&given](const char* option) {
        const auto found = given.find(option);
        return found == given.end() ? std::string() : found->second;
    };
    options.signKey = value("--sign");
    options.signCommand = value("--sign-command");
    options.signDigestCommand = value("--sign-digest-command");
    options.releaseKeys = releaseKeys;
    options.newKey = given.count("--new-key") != 0;
    options.updater = value("--updater");
    options.stage = value("--stage");
    const std::string command = !options.signCommand.empty() ? "--sign-command" : "--sign-digest-command";
    const char signers[] = "a signer (--sign, --sign-command, --sign-digest-command)";
    if (given.count("--sign") + given.count("--sign-command") + given.count("--sign-digest-command") > 1)
        return "--sign, --sign-command and --sign-digest-command cannot be used together";
    // A staged release is signed elsewhere, with the key given.
    if (!options.stage.empty() &&
        !options.signKey.empty() + !options.signCommand.empty() + !options.signDigestCommand.empty() != 0)
        return "--stage signs elsewhere: give it --release-key PUB, not a signer";
    if (!options.stage.empty())
        return options.releaseKeys.size() == 1 ? ""
                                               : "--stage takes one --release-key: the key that will sign";
    if (IsSigning(options) && options.signKey.empty() && options.releaseKeys.empty())
        return command + " needs --release-key PUBLIC_KEY: the key its signatures are checked against";
    if (given.count("--sign-timeout") != 0 && (!IsSigning(options) || !options.signKey.empty()))
        return "--sign-timeout goes with --sign-command or --sign-digest-command";
    if (!IsSigning(options) && !options.releaseKeys.empty())
        return std::string("--release-key goes with ") + signers + " or --check, not alone";
    if (!IsSigning(options) &&
        (options.newKey || given.count("--expires-in") + given.count("--updater") != 0))
        return std::string("--new-key, --expires-in and --updater go with ") + signers;
    if (resign && !IsSigning(options))
        return "--resign signs the live release again: give --sign KEY, or --sign-command CMD (or "
               "--sign-digest-command CMD) --release-key PUB";
    return "";
}
