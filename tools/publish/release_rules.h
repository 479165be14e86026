// What a release may contain so that every player's updater fetches each
// file, through the web server, to the same name in the game folder.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Empty when path (relative, '/' between folders) is fine; otherwise why not.
std::string WhyRefused(const std::string& path);

// Pairs of file or folder names that differ only by letter case: one Windows
// folder cannot hold both.
std::vector<std::pair<std::string, std::string>> CaseCollisions(const std::vector<std::string>& paths);
