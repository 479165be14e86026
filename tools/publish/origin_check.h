// Whether a mirror serves the origin's live release. A mirror, CDN edge or
// bucket left on an older release passes every other check: its files match
// its manifest, and its signature, genuinely the studio's, holds. Only the
// origin's own live manifest.txt tells that the mirror's players are held
// back, and by how much.
#pragma once

#include <cstdint>
#include <string>

#include "served_release.h"
#include "server_check.h"

// Reads the live manifest.txt of options.origin into options.originText: a
// server folder's live release, or fetched over HTTP(S) as a player's
// updater fetches it. False, with the reason on stderr.
bool ReadOriginManifest(CheckOptions& options);

// When served, the checked server's manifest, is not the origin's live one,
// a problem naming both releases and, for two signed ones, how far apart
// their publishes are; unless quiet, a line saying so when it is.
void CompareWithOrigin(const ServedRelease& served, const CheckOptions& options, Findings& findings);

// A span of time as an operator reads it: "40 s", "12 min", "2 h 05 min",
// "3 d 04 h".
std::string SpanText(std::uint64_t seconds);
