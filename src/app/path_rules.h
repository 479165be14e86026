// How manifest paths and the updater's own path become local file names, and
// which manifest paths the updater refuses. The release tool asks the same
// rules, so it never publishes a line the updater would drop.
#pragma once

#include <string>
#include <string_view>

// Why the updater refuses a manifest path, or NULL when it takes it. A path
// is refused when it could reach outside the game folder (rooted, drive- or
// stream-qualified, a parent component), names a device instead of a file,
// holds a control character, or ends in a suffix of the updater's own files
// (.kvdl, .kvold). Its length is no reason: a path Windows cannot take with
// the game folder in front fails like any file that cannot be written, and
// is counted.
const char* WhyPathRefused(const std::string& path);

bool IsSafeRelativePath(const std::string& path);

// Where an updater that replaces itself moves its running file: in its
// folder, under a name no manifest path can have.
const char UpdaterAsideName[] = "KorvanthUpdater.exe.kvold";

// A path as Windows names the file: ASCII letters in one case, '/' between
// folders (the release tool publishes no other letters), so that two paths
// are the same file exactly when their keys are equal.
std::string WindowsNameKey(std::string_view path);

// The manifest's '/' separators as Windows file names want them.
std::string ToLocalPath(const std::string& manifestPath);

// The folder part of a module path, without the final separator; the text
// unchanged when it has no separator.
std::wstring StripFileName(const std::wstring& modulePath);
