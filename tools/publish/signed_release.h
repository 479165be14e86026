// A signed release as the release tool composes it (the form itself is
// src/app/signed_manifest.h's): its terms (serial and expiry), the release
// record every signed release carries, and the files the studio dropped
// from earlier releases, which players' updaters then delete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "release_scan.h"
#include "signed_manifest.h"

// A signature lasts 30 days unless told otherwise, at most 90: a studio that
// publishes monthly, or signs the live release again from a daily timer, is
// never caught out, and a server that holds players on one release (a
// mirror left behind) can do so a month at most.
const std::int64_t DefaultExpiresIn = 30 * 86400;
const std::int64_t MaxExpiresIn = 90 * 86400;

struct ReleaseTerms {
    std::uint64_t serial = 0;
    std::int64_t expires = 0;
};

// Each (path, MD5) a player's folder may still hold of files the studio
// dropped, sorted.
typedef std::vector<std::pair<std::string, std::string>> DroppedList;

// A serial newer than last: the time of the publish in seconds, so that the
// releases of a staging and a production folder signed with one key never
// go back for a player who moves between them, or last + 1 when the clock
// is behind.
std::uint64_t NextSerial(std::uint64_t last, std::int64_t now);

// The release record as a file of the release: its path, digests and size;
// it has no source, since it is written, not copied.
ReleaseFile RecordFile(std::uint64_t serial);

// Writes the record into a release's files/ folder, read-only.
bool WriteRecord(const std::filesystem::path& files, std::uint64_t serial);

// The files earlier listed, or had dropped in turn, that files no longer
// lists, each with every MD5 known for it; the updater and update.url are
// never among them. earlier is a release whose signature checked, or null:
// an unsigned release's word is no reason to delete a player's file.
DroppedList DroppedSince(const SignedRelease* earlier, const std::vector<ReleaseFile>& files);

// All of the manifest but its signature line.
std::string SignedText(const std::vector<ReleaseFile>& files, const ReleaseTerms& terms,
                       const DroppedList& dropped);

// The files of a signed release as the tool holds a release's (the record
// and all): path, size and both digests of each.
std::vector<ReleaseFile> FilesOf(const SignedRelease& release);

// Whether files are those of release, the record aside: the same paths,
// sizes and digests.
bool SameFiles(const SignedRelease& release, const std::vector<ReleaseFile>& files);
