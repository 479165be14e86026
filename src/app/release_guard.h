// What an updater built with release keys adds to a run around the files of
// a signed release: the folder's release record read before anything else,
// the player's clock, the record put in place before any other file, and
// the files the studio dropped removed once the release is whole.
#pragma once

#include <cstdint>
#include <vector>

#include "manifest.h"
#include "signed_manifest.h"

// The serial in the game folder's release record; 0 when there is none or
// it cannot be read, which takes any valid release (a fresh install).
std::uint64_t ReadHeldSerial();

// The player's clock, in seconds since 1970-01-01 00:00 UTC.
std::int64_t UtcNowSeconds();

// Moves the release record to the front of pending: once any file of a
// release is in place, the folder refuses every older release, even when the
// run is cut short.
void PutRecordFirst(std::vector<ManifestEntry>& pending);

// Deletes each file the release names as dropped whose content is still one
// the studio shipped; a file the player changed stays. Prints nothing, and a
// file that cannot be deleted is tried again on the next run.
void DeleteDroppedFiles(const SignedRelease& release);
