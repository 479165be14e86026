// What a cache in front of the patch server must forget when the live
// release changes: the URL paths below the base URL whose content changed.
#pragma once

#include <string>
#include <vector>

#include "whole_file.h"

// A manifest path as the updater puts it in its request line: the bytes a
// request line cannot carry as they are, percent-encoded. A cache keys its
// copies by that exact text, so a purge must name it the same way.
std::string UrlPathOf(const std::string& manifestPath);

// "manifest.txt" first, then "files/<path>" (as UrlPathOf writes it) for
// every file added, changed or dropped between the two manifest texts, in
// the new manifest's order and then the old one's. Added files count because
// a cache may hold the 404 a player got before. Empty when nothing changed.
std::vector<std::string> PurgeList(const std::string& oldManifest, const std::string& newManifest);

// The list's file, begun before anything changes so that a list that
// cannot be written stops a run while nothing has changed (whole_file.h);
// an empty path wants no list and always succeeds. False, with a message on
// stderr, when it cannot be made.
bool BeginPurgeList(const std::string& path, WholeFile& list);

// Writes the list, one per line, into the file begun, replacing path whole;
// false, with errno set, when it cannot be written.
bool FinishPurgeList(WholeFile& list, const std::vector<std::string>& urlPaths);

// After a switch to release live: writes the list of what changed between
// the manifests before and after into the file begun. Returns 0, or
// LiveButFailed with a message on stderr when it cannot be written.
int ReportChanges(WholeFile& list, const std::string& before, const std::string& after, unsigned long live);
