// The server folder: every release in a folder of its own, the live one
// reached through the symbolic link "current", swapped in with one rename.
//
//   SERVER_DIR/current -> releases/000007    served at the updater's base URL
//   SERVER_DIR/releases/000007/manifest.txt, files/...
//   SERVER_DIR/releases/000006/...           earlier releases, for a rollback
//   SERVER_DIR/.publish.lock                 one publish or rollback at a time
//   SERVER_DIR/.publish-index                what the last publish read (release_index.h)
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// How many releases before the live one are kept for a rollback.
const std::size_t DefaultKeptReleases = 3;

struct PublishOptions {
    std::size_t keep = DefaultKeptReleases;
    std::string purgeList;  // written after a switch when not empty (see purge_list.h)
    bool quiet = false;
    bool dryRun = false;  // say what would be done; write nothing at all
    bool rehash = false;  // read every file, as if none were known unchanged
};

// Makes the release folder the live release of server. Players keep getting
// the old release, whole, until the new one is complete and on disk; a
// publish killed at any point leaves the old one live, and the next run
// clears what it left. Refuses to start while another publish or rollback
// runs on server. Returns the exit code: 0; 1 when the release is refused
// (see ScanRelease; also when the manifest grew past the updater's limit
// while copying); 2 on an I/O error or when another publish runs.
int PublishRelease(const std::filesystem::path& release, const std::filesystem::path& server,
                   const PublishOptions& options);

// Makes the release before the live one live again, with a purge list as
// above. Exit code: 0, 1 when there is none, 2 on an I/O error.
int RollBack(const std::filesystem::path& server, const std::string& purgeList, bool quiet);

// Prints the releases of server on standard output: number, date, files,
// bytes, and which is live. Exit code: 0, 1 when it holds none.
int ListReleases(const std::filesystem::path& server);

// The folder that holds the live manifest.txt and files/: current's target,
// or server itself when it is a plain copy (a mirror) without releases.
std::filesystem::path LiveFolder(const std::filesystem::path& server);
