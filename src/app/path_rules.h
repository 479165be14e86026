// How manifest paths and the updater's own path become local file names.
#pragma once

#include <string>

// False for a path that could reach outside the game folder or name a device
// instead of a file: rooted, drive- or stream-qualified, a parent component,
// or a reserved device name.
bool IsSafeRelativePath(const std::string& path);

// The manifest's '/' separators as Windows file names want them.
std::string ToLocalPath(const std::string& manifestPath);

// The folder part of a module path, without the final separator; the text
// unchanged when it has no separator.
std::string FolderOfPath(const std::string& modulePath);
