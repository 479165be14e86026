// The server folder's layout: release names, the releases kept, the
// "current" link and its switch, the pruning of earlier releases and the
// clearing of what an interrupted run left. Publish, rollback and listing
// all go through these, so that whichever of them runs, a release is made
// live and removed the one way that keeps players whole.
//
//   SERVER_DIR/current -> releases/000007    the live release
//   SERVER_DIR/releases/000007/              a complete release
//   SERVER_DIR/releases/.incoming-000008/    a release being built, not served
//   SERVER_DIR/releases/.discard-000004/     a release being removed
//   SERVER_DIR/.current.new                  the next link, before its rename
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The link the web server serves, and the folder every release lies in.
const char CurrentLink[] = "current";
const char ReleasesFolder[] = "releases";

// Says on stderr what went wrong at where, as the tool says every problem
// of the server folder. Returns 2, the exit code of an I/O error.
int Fail(const std::filesystem::path& where, const std::string& why);

// A release's number as its folder is named: six digits or more.
std::string ReleaseName(unsigned long id);

// The complete releases of server, oldest first; half-built and half-removed
// ones are not among them, nor links under a release's name.
std::vector<unsigned long> ReleaseIds(const std::filesystem::path& server);

// The release "current" names; false when it names none.
bool LiveRelease(const std::filesystem::path& server, unsigned long& id);

// The folder of release id, complete or not.
std::filesystem::path ReleaseFolder(const std::filesystem::path& server, unsigned long id);

// Where release id is built before it is sealed and renamed into place:
// below releases/, under a name nothing serves and ReleaseIds passes over.
std::filesystem::path IncomingFolder(const std::filesystem::path& server, unsigned long id);

// The manifest of a release, or nothing when it cannot be read: a release
// without one is as good as none.
std::string ManifestOf(const std::filesystem::path& server, unsigned long id);

// The folder that holds the live manifest.txt and files/: current's target,
// or server itself when it is a plain copy (a mirror) without releases.
std::filesystem::path LiveFolder(const std::filesystem::path& server);

// Refusals of the server folder itself, before anything is made: one that
// lies inside another server folder (its releases/ or current, say).
// Returns 0, or 2 with a message on stderr.
int RefusedServer(const std::filesystem::path& server);

// Makes server and its releases/ folder when missing, takes its lock
// (server_lock.h) and clears what an interrupted run left; refuses a folder
// of the layout before releases. False, with a message on stderr.
bool PrepareServer(const std::filesystem::path& server);

// The releases that a new live release makes superfluous: those after the
// old live one, and all but the newest keep of those before it.
std::vector<unsigned long> Superseded(std::vector<unsigned long> ids, bool hasLive, unsigned long live,
                                      std::size_t keep);

// Makes release id live by replacing "current" with a single rename, synced.
// Returns 0, 2 when nothing changed, or LiveButFailed.
int SwitchTo(const std::filesystem::path& server, unsigned long id);

// Makes the folder incoming, its files in place, live as release id with
// manifest as its manifest.txt, then removes the releases doomed. Returns 0,
// 2 when nothing changed, or LiveButFailed.
int GoLive(const std::filesystem::path& server, const std::filesystem::path& incoming, unsigned long id,
           const std::string& manifest, const std::vector<unsigned long>& doomed);

// Fills incoming's files/ (folders 0755) with hard links to the files at
// paths of release from: a release made of another's files without a byte
// copied. Returns 0, or 2 with a message on stderr.
int LinkRelease(const std::filesystem::path& server, unsigned long from,
                const std::filesystem::path& incoming, const std::vector<std::string>& paths);

// Replaces the manifest.txt of release id whole, by one rename: a player
// gets the old one or the new one. Returns 0, 2 when nothing changed, or
// LiveButFailed.
int ReplaceManifest(const std::filesystem::path& server, unsigned long id, const std::string& manifest);
