// What the release tool remembers of a server folder where only the user who
// publishes can write: a server folder is often writable by others too (the
// web server's user, a mirror's sync account), and a signed publish must not
// sign on the word of anything they could have changed. One small file per
// server folder, in a folder of the user's own:
//
//   $KORVANTH_PUBLISH_STATE, else $XDG_STATE_HOME/korvanth-publish, else
//   ~/.local/state/korvanth-publish (made 0700; refused when it is a link,
//   another user's, or writable by others)
//
// A state that is missing (another machine, a new user) costs a full read of
// the release folder, never a wrong signature.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

// A signed release this tool made live: its manifest's SHA-256, and the
// release whose files it holds (itself, or the earlier one a rollback
// made live again).
struct MadeRelease {
    std::string manifestSha256;
    unsigned long filesOf = 0;
};

struct PublisherState {
    bool found = false;         // a state was read for this server folder
    std::uint64_t serial = 0;   // the highest serial signed for the folder
    unsigned long live = 0;     // the release this tool last made live, 0 for none
    std::string keyId;          // the key that signed it, empty when unsigned
    std::string keyDer;         // that key's public half (DER, in hex), to check the live release with
    std::string indexSha256;    // of the .publish-index this tool last wrote
    std::string updaterSha256;  // of the updater its signed releases carry, if any
    std::map<unsigned long, MadeRelease> made;  // the signed releases it made, by number

    // A release staged to be signed on another machine (release_staging.h),
    // 0 when none: what it was staged over, its serial and what vouches for
    // it until it goes live.
    unsigned long staged = 0;
    unsigned long stagedOver = 0;
    std::uint64_t stagedSerial = 0;
    std::string stagedSha256;  // of the bytes to sign
    std::string stagedKeyId, stagedKeyDer, stagedIndexSha256, stagedUpdaterSha256;
};

// Where the bytes of a staged release are kept, beside the state of server.
std::filesystem::path StagedTextFile(const std::filesystem::path& server);

// The state of server; state.found is false when there is none yet. False,
// with a message on stderr, when the state's folder cannot be trusted or the
// state cannot be read.
bool LoadState(const std::filesystem::path& server, PublisherState& state);

// Replaces the state of server whole; false, with a message on stderr.
bool SaveState(const std::filesystem::path& server, const PublisherState& state);
