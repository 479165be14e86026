// Signing a release on a machine that is never online. A release is staged
// like any publish (read, copied, hashed, its record and updater added)
// but not made live: its bytes to sign are written to a file the operator
// carries to the offline machine, where korvanth-publish alone signs them
// with the key that never leaves it; the signature, carried back, makes the
// staged release live once it checks against the key the release was
// staged for. The bytes to sign are kept where only the publishing user can
// write (publisher_state.h): what goes live is what was staged.
//
//   korvanth-publish --stage TO_SIGN --release-key PUB [...] RELEASE_DIR SERVER_DIR
//   korvanth-publish --sign-staged KEY TO_SIGN            (offline: writes TO_SIGN.sig)
//   korvanth-publish --go-live TO_SIGN.sig SERVER_DIR
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "publish_trust.h"

// The signer of a staging: no key here, only the one public key given,
// whose id the release is staged for. False, with a message on stderr.
bool OpenStagingSigner(const std::vector<std::string>& releaseKeys, Signer& signer);

// Turns the built release incoming (release id, manifest text less its
// signature) into the staged release of server, and writes text to
// toSign; with an empty incoming, text is the live release id signed
// again (--resign). Returns the exit code.
int StageRelease(const std::filesystem::path& server, const std::filesystem::path& incoming, unsigned long id,
                 const std::string& text, const std::string& toSign, SignedBase& base, const Signer& signer,
                 std::uint64_t serial, const std::string& updaterSha256, bool quiet);

// The offline half: shows what toSign releases and writes toSign.sig,
// its signature line by the private key at key. Returns the exit code.
int SignStaged(const std::string& key, const std::filesystem::path& toSign);

// Makes the staged release of server live with the signature line in
// signatureFile, once it checks. Returns the exit code.
int GoLiveStaged(const std::filesystem::path& signatureFile, const std::filesystem::path& server,
                 const std::string& purgeList, std::size_t keep, bool quiet);
