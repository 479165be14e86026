// Which release a served manifest.txt is, and what its signature vouches
// for, as --check tells an operator. With release keys the signature is
// verified as a keyed updater verifies it. Without, a signed manifest is
// still held to its form, its expiry and each file's SHA-256 line, which a
// server that swapped a file and rewrote only its MD5 line has not kept in
// step, and the key it names is shown unverified: anyone can write a
// signature line, and only the public key tells a true one.
#pragma once

#include <string>
#include <vector>

#include "release_signing.h"
#include "server_check.h"
#include "signed_manifest.h"

struct ServedRelease {
    bool isSigned = false;  // ends in a signature line
    bool readable = false;  // ...whose signed part has the form keyed updaters take
    std::string keyId;      // the key the signature line names
    SignedRelease release;  // when readable: serial, expiry, SHA-256 lines (views into the text)
    std::string sha256;     // of the whole manifest text
};

// What text says of itself, unverified; text must outlive the result.
ServedRelease ReadServedRelease(const std::string& text);

// The release's name for an operator: a readable signed one by its serial,
// the time of its publish, "release 1765138000 of 2026-12-07T20:06:40Z";
// any other by the first 16 hex digits of its manifest's SHA-256,
// "unsigned release with manifest.txt SHA-256 9f86d081884c7d65".
std::string ReleaseText(const ServedRelease& served);

// Reports what is wrong with the signature (with keys: no signature, another
// key's, bytes changed since; with or without: a form keyed updaters refuse,
// an expiry passed) and, unless quiet, prints which release text is and who
// signed it, when no key was given for a signature or an origin is given.
// Returns each file's SHA-256 to hold it to: the SHA-256 lines of a readable
// manifest whose signature, with keys, checks; none otherwise.
SignedDigests CheckServedRelease(const std::string& text, const ServedRelease& served,
                                 const CheckOptions& options, Findings& findings);
