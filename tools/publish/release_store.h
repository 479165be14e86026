// The server folder: every release in a folder of its own, the live one
// reached through the symbolic link "current", swapped in with one rename.
//
//   SERVER_DIR/current -> releases/000007    served at the updater's base URL
//   SERVER_DIR/releases/000007/manifest.txt, files/...
//   SERVER_DIR/releases/000006/...           earlier releases, for a rollback
//   SERVER_DIR/.publish.lock                 one publish or rollback at a time
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "release_scan.h"

// How many releases before the live one are kept for a rollback.
const std::size_t DefaultKeptReleases = 3;

// Makes files (already hashed) the live release of server. Players keep
// getting the old release, whole, until the new one is complete; a publish
// killed at any point leaves the old one live, and the next run clears what
// it left. A purgeList path, when not empty, receives the URL paths whose
// content the switch changed (see purge_list.h). Returns the exit code (0,
// or 2 on an I/O error).
int PublishRelease(const std::vector<ReleaseFile>& files, const std::filesystem::path& server,
                   std::size_t keep, const std::string& purgeList, bool quiet);

// Makes the release before the live one live again, with a purge list as
// above. Exit code: 0, 1 when there is none, 2 on an I/O error.
int RollBack(const std::filesystem::path& server, const std::string& purgeList, bool quiet);

// The folder that holds the live manifest.txt and files/: current's target,
// or server itself when it is a plain copy (a mirror) without releases.
std::filesystem::path LiveFolder(const std::filesystem::path& server);
