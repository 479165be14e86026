// What a built KorvanthUpdater.exe says of itself: an updater built with
// release keys carries, in its read-only data, the line
//
//   KORVANTH-UPDATER keys=<id> <id> ...; server=<base URL>;
//
// (cmake/release_keys.cmake writes it), so that the release tool can tell
// which keys an updater takes and where it goes before a release carries it
// to every player. An updater built without keys carries none.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct UpdaterIdentity {
    std::vector<std::string> keyIds;
    std::string server;
};

// Whether bytes (a whole executable) are a Windows program (PE, 32-bit x86
// or x86-64) that carries the line; identity is then filled.
bool ReadUpdaterIdentity(const std::string& bytes, UpdaterIdentity& identity);

// Why the file at path is no updater built with keys, or empty when it is
// one (identity then filled).
std::string WhyNoKeyedUpdater(const std::filesystem::path& path, UpdaterIdentity& identity);

// "keys a, b; server URL", as the tool shows it.
std::string IdentityText(const UpdaterIdentity& identity);
