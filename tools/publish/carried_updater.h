// Which updater a release carries to its players. A release may list
// KorvanthUpdater.exe, and every player who takes the release runs that
// updater from then on: the check shows what it says of itself
// (updater_identity.h), and holds it to the studio's keys, since an updater
// that takes none of them refuses every later release and strands its
// players on this one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "manifest.h"
#include "release_signing.h"
#include "server_check.h"

// The first entry that is the updater's own file, in whatever case (Windows
// takes any for the same file), or entries.size() when none is.
std::size_t CarriedUpdaterAt(const std::vector<ManifestEntry>& entries);

// Given the served updater's bytes (empty when they could not be had):
// unless quiet, a line "carries KorvanthUpdater.exe: keys ...; server ...";
// a problem when it takes none of keys, or when it is no updater built with
// release keys while the release is signed or keys are given.
void TellCarriedUpdater(const std::string& bytes, bool signedRelease, const std::vector<PublicKey>& keys,
                        bool quiet, Findings& findings);
