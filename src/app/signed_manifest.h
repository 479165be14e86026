// The signed manifest, the one place that knows its form. It is the manifest
// every updater has always read, with what a signature adds in lines that
// begin with '#', which every updater skips as comments:
//
//   <digest> TAB <size> TAB <path> LF                 the entries, as ever
//   #sha256 TAB <64 lower-case hex> TAB <path> LF     the SHA-256 of each entry's file
//   #signature TAB <key id> TAB <base64> LF           last: RSA, SHA-256, PKCS#1 v1.5
//
// The signature covers every byte before its own line, so any byte changed,
// added or removed anywhere breaks it, and nothing may follow it. An
// updater built without keys reads the entries exactly as before; one built
// with keys takes a manifest only with a valid signature by one of them,
// and each file only when it has the signed size and SHA-256 as well as the
// MD5. The key id is the first 16 hex digits of the SHA-256 of the public
// key's DER form (SubjectPublicKeyInfo), so that the release tool can say
// which key signed a release.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "manifest.h"

// A public key an updater trusts: its id, and its bytes in whatever form
// the verifier takes (a CryptoAPI public key blob, or DER for OpenSSL).
struct ReleaseKey {
    const char* id;
    const unsigned char* bytes;
    std::size_t length;
};

// Whether signature (raw bytes, most significant first) is key's over
// message. Supplied by the platform's cryptography.
typedef bool (*VerifySignature)(const ReleaseKey& key, std::string_view message,
                                const std::string& signature);

// What the signature line carries, and the bytes it signs.
struct SignedParts {
    std::string_view signedText;  // every byte before the signature line, in the text split
    std::string keyId;
    std::string signature;  // raw bytes
};

// An entry's signed SHA-256, both views into the manifest text they were
// read from, which must outlive them.
struct SignedDigest {
    std::string_view path;
    std::string_view sha256;
};

// Every entry's, sorted by path: one allocation for a manifest of any
// size, where a manifest of tens of thousands of files is checked on every
// run.
typedef std::vector<SignedDigest> SignedDigests;

// False unless text ends with one well-formed signature line (a line feed
// at its end, nothing after it).
bool SplitSignature(const std::string& text, SignedParts& parts);

// The entries of a signed manifest and their SHA-256: false unless every
// entry's path has exactly one SHA-256 line, and every SHA-256 line one
// entry.
bool SignedEntries(std::string_view signedText, std::vector<ManifestEntry>& entries, SignedDigests& digests);

// The SHA-256 signed for path, or null.
const std::string_view* FindSignedDigest(const SignedDigests& digests, std::string_view path);

// The whole check: a valid signature by one of keys (count of them) over a
// manifest whose every entry is signed with its SHA-256. False, with entries
// and digests left empty, otherwise. digests are views into text.
bool CheckSignedManifest(const std::string& text, const ReleaseKey* keys, std::size_t count,
                         VerifySignature verify, std::vector<ManifestEntry>& entries, SignedDigests& digests);

// The lines as the release tool writes them.
std::string Sha256Line(const std::string& sha256, const std::string& path);
std::string SignatureLine(const std::string& keyId, const std::string& signature);

std::string ToBase64(const std::string& bytes);
bool FromBase64(const std::string& text, std::string& bytes);
