// The update of each pending file: download beside it, verify, rename over it.
#pragma once

#include <string>
#include <vector>

#include "manifest.h"

// Prints the per-file lines; returns how many files were not put in place.
int UpdatePendingFiles(const std::string& baseUrl, const std::vector<ManifestEntry>& pending);
