// The verification pass: which listed files must be downloaded.
#pragma once

#include <cstdint>
#include <vector>

#include "manifest.h"

// Copies, in manifest order, of the entries whose local file is missing,
// unreadable or has another digest.
std::vector<ManifestEntry> FindPendingEntries(const std::vector<ManifestEntry>& entries);

// KB to download: each size rounded down to whole KB before the sum.
std::uint64_t SumPendingKb(const std::vector<ManifestEntry>& pending);
