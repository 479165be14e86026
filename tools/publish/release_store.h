// The server folder: every release in a folder of its own, the live one
// reached through the symbolic link "current", swapped in with one rename.
//
//   SERVER_DIR/current -> releases/000007    served at the updater's base URL
//   SERVER_DIR/releases/000007/manifest.txt, files/...
//   SERVER_DIR/releases/000006/...           earlier releases, for a rollback
//   SERVER_DIR/.publish.lock                 one writer at a time (server_lock.h)
//   SERVER_DIR/.publish-index                what the last publish read (release_index.h)
//
// Each operation is a room of its own (release_publish.cpp,
// release_rollback.cpp, release_list.cpp); the layout they share, with the
// switch and the pruning, is server_layout.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "signed_release.h"

// How many releases before the live one are kept for a rollback.
const std::size_t DefaultKeptReleases = 3;

// The exit code of a run that made its release live, or found it live,
// but then failed at something else (the purge list, a sync): a retry must
// not publish or roll back again.
const int LiveButFailed = 3;

// How long a signing command may take by default: a token waiting for a
// touch, or a KMS behind a slow network, gets a minute.
const long DefaultSignTimeoutSeconds = 60;

struct PublishOptions {
    std::size_t keep = DefaultKeptReleases;
    std::string purgeList;  // written after a switch when not empty (see purge_list.h)
    bool quiet = false;
    bool dryRun = false;                   // say what would be done; write nothing at all
    bool rehash = false;                   // read every file, as if none were known unchanged
    bool trustStat = false;                // trust the stamps of files on network and FUSE file systems too
    std::string signKey;                   // the private key (PEM) that signs the manifest, or
    std::string signCommand;               // the command that does (see release_signing.h), or
    std::string signDigestCommand;         // the one that signs its SHA-256 (a token, a KMS), checked against
    std::vector<std::string> releaseKeys;  // these public keys (PEM)
    bool newKey = false;                   // the signing key may differ from the live release's (a rotation)
    std::int64_t expiresIn = DefaultExpiresIn;     // how long a signature lasts, in seconds
    long signTimeout = DefaultSignTimeoutSeconds;  // how long a signing command may take, in seconds
    std::string updater;  // a built updater the release carries to players (release_updater.h)
    std::string stage;    // not live: staged, its bytes to sign written here (release_staging.h)
};

inline bool IsSigning(const PublishOptions& options)
{
    return !options.signKey.empty() || !options.signCommand.empty() || !options.signDigestCommand.empty() ||
           !options.stage.empty();
}

// Makes the release folder the live release of server. Players keep getting
// the old release, whole, until the new one is complete and on disk; a
// publish killed at any point leaves the old one live, and the next run
// clears what it left. Everything that can fail before the switch (the
// purge list's file included) is tried before it. Refuses to start while
// another publish, rollback or mirror writes into server, and refuses a
// server folder that is a mirror's or lies inside another server folder.
// Returns the exit code: 0 when the release is live; 1 when the release is
// refused (see ScanRelease and BuildFiles; also when the manifest grew past
// the updater's limit while copying); 2 on an I/O error or a refused server
// folder, nothing changed; LiveButFailed.
int PublishRelease(const std::filesystem::path& release, const std::filesystem::path& server,
                   const PublishOptions& options);

// Makes the release before the live one live again, with a purge list as
// above. On a signed server its files go live as a new release, signed
// anew with a new serial; without a signer that is refused. Exit code: 0, 1
// when there is none (or it is refused), 2 on an I/O error (nothing
// changed), LiveButFailed.
int RollBack(const std::filesystem::path& server, const PublishOptions& options);

// Signs the live release again with a new expiry, its files and serial as
// they are: only its manifest.txt changes. Exit code: 0, 1 when there is no
// signed live release or it is refused, 2 on an I/O error, LiveButFailed.
int Resign(const std::filesystem::path& server, const PublishOptions& options);

// Prints the releases of server on standard output: number, date, files,
// bytes, the key that signed it, and which is live. Exit code: 0, 1 when it
// holds none.
int ListReleases(const std::filesystem::path& server);
