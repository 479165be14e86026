// The updater a signed release carries to every player. An updater built
// with keys replaces its own file when a signed release lists another one,
// so this is how key rotations, revocations, a new patch server and the
// updater's own fixes reach players without a reinstall. The release
// folder's KorvanthUpdater.exe is never published (it may be any build);
// the one carried is given with --updater and then carried by every later
// release until another is given. The tool carries only an updater built
// with keys that takes the key signing the release: one that did not would
// leave its players with no release they take.
#pragma once

#include <filesystem>
#include <string>

#include "publish_trust.h"
#include "release_scan.h"
#include "updater_identity.h"

struct CarriedUpdater {
    bool carried = false;
    ReleaseFile file;   // its path (UpdaterFileName), size and digests
    std::string bytes;  // as given with --updater; empty when the live release's copy is carried on
    UpdaterIdentity identity;
};

// The updater a release signed with keyId carries: the file at given, when
// not empty, else the one the live release carries if the tool's state says
// it put it there. False, with a message on stderr, when it may not carry
// it (given is no updater built with keys, or it does not take keyId).
bool ChooseUpdater(const std::string& given, const SignedBase& base, const std::filesystem::path& liveFiles,
                   const std::string& keyId, CarriedUpdater& updater);

// Puts it into a release's files/ folder: written (read-only, executable),
// or a hard link to the live release's copy.
bool PlaceUpdater(const CarriedUpdater& updater, const std::filesystem::path& liveFiles,
                  const std::filesystem::path& files);
