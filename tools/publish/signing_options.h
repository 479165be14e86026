// Which signer a command line gives (--sign, --sign-command or
// --sign-digest-command) and the rules its signing options keep together:
// one signer at most, a command's signatures checked against --release-key
// keys, and options that mean nothing without a signer refused rather than
// ignored.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "release_store.h"

// Fills options' signer from given (each option given, with its value, ""
// for one that takes none) and releaseKeys (every --release-key); returns
// the usage error, or empty. resign: the operation signs the live release
// again, and needs a signer.
std::string TakeSigner(const std::map<std::string, std::string>& given,
                       const std::vector<std::string>& releaseKeys, bool resign, PublishOptions& options);
