// One writer at a time in a server folder, whichever tool writes it: the
// release tool's publishes and rollbacks, and korvanth-mirror's runs into a
// mirror folder, all take the lock on FOLDER/.publish.lock. The lock file
// also says whose folder it is: "korvanth-publish" (or nothing, from an
// older release tool) for a folder releases are published into,
// "korvanth-mirror" for a mirror. The two cannot share a folder: each
// numbers, builds and prunes releases from its own source.
#pragma once

#include <filesystem>

// Takes the lock of server for the rest of the process, claiming the folder
// for the release tool when it is new; refuses a folder that is a mirror's,
// and a lock file that is a link, not a regular file, or that another user
// owns or could open. Returns 0, or 2 with a message on stderr.
int LockServerFolder(const std::filesystem::path& server);
