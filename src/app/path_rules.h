// How manifest paths and the updater's own path become local file names, and
// which manifest paths the updater refuses. The release tool asks the same
// rules, so it never publishes a line the updater would drop.
#pragma once

#include <cstddef>
#include <string>

// The longest manifest path taken, in bytes. The game folder and a
// separator go in front and ".kvdl" behind, and the calls the updater makes
// take at most 259 characters: this leaves 53 for the game folder, enough
// for the usual places a game is installed.
const std::size_t MaxManifestPathLength = 200;

// Why the updater refuses a manifest path, or NULL when it takes it. A path
// is refused when it could reach outside the game folder (rooted, drive- or
// stream-qualified, a parent component), names a device instead of a file,
// holds a control character, is longer than MaxManifestPathLength, or ends in
// the temporary download suffix.
const char* WhyPathRefused(const std::string& path);

bool IsSafeRelativePath(const std::string& path);

// The manifest's '/' separators as Windows file names want them.
std::string ToLocalPath(const std::string& manifestPath);

// The folder part of a module path, without the final separator; the text
// unchanged when it has no separator.
std::wstring StripFileName(const std::wstring& modulePath);
