// What a signed publish, rollback or re-signing takes from the server folder
// before it changes anything, and why it may: the live release only as far
// as a key it is pinned to vouches for it, the index and the "current" link
// only as far as the state only this user can write (publisher_state.h)
// says they are the tool's own. Someone who can write the server folder but
// holds no key can make a signed publish read more, never sign less.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "publisher_state.h"
#include "release_signing.h"
#include "signed_manifest.h"

struct SignedBase {
    PublisherState state;
    bool liveVerified = false;  // live holds what a pinned key signed
    SignedRelease live;         // views into the live manifest text
    std::string pinnedKey;      // the key the live release is signed with, empty when it is not signed
    std::string pinnedDer;      // its public half, when known (DER)
    bool moved = false;         // "current" is not where the tool left it
};

// Reads the state and the live release (release liveId, manifest liveText,
// which must outlive base) of server for a signer whose key id is known.
// False, with a message on stderr, when the state cannot be trusted, or the
// live release is signed with another key than the signer's and newKey
// does not say this is a rotation; code is then the exit code.
bool ReadSignedBase(const std::filesystem::path& server, bool hasLive, unsigned long liveId,
                    const std::string& liveText, const Signer& signer, bool newKey, SignedBase& base,
                    int& code);

// The state after release id, signed by signer with serial and manifest
// (the files of release filesOf), went live; false, with a message on
// stderr, when it could not be written (the caller's exit code is then
// LiveButFailed).
bool RecordSignedLive(const std::filesystem::path& server, SignedBase& base, const Signer& signer,
                      unsigned long id, std::uint64_t serial, const std::string& manifest,
                      unsigned long filesOf, const std::string& indexSha256);

// The keys a release of this server may be signed with: the signer's, and
// the one the state pins.
std::vector<PublicKey> TrustedKeys(const SignedBase& base, const Signer& signer);

// The signing key's public half (DER) in hex, as the state keeps it.
std::string KeyDerHex(const Signer& signer);

// Whether the tool made release id live with exactly manifest: only such a
// release is signed again, or rolled back to.
bool MadeHere(const SignedBase& base, unsigned long id, const std::string& manifest);

// A public key as the state keeps it (its id, its DER in hex).
PublicKey KeyFromState(const std::string& id, const std::string& derHex);

// What to tell the operator of a rotation: empty, or "in place of key X".
std::string RotationNote(const SignedBase& base, const Signer& signer);
