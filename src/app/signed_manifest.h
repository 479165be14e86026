// The signed manifest, the one place that knows its form. It is the manifest
// every updater has always read, with what a signature adds in lines that
// begin with '#', which every updater skips as comments:
//
//   #release TAB <serial> LF                          the release's serial: newer is higher
//   #expires TAB <YYYY-MM-DDTHH:MM:SSZ> LF            no updater takes it from then on (UTC)
//   <digest> TAB <size> TAB <path> LF                 the entries, as ever
//   #dropped TAB <digest> TAB <path> LF               a file earlier releases had, and its MD5 then
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
//
// Every signed release lists the release record, a small game file whose
// content is its serial: the record in a player's folder says which release
// the folder last took, and an updater built with keys refuses any release
// whose serial is lower. The updater thus keeps no state of its own and
// writes nothing the release does not list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest.h"

// The release record's name in the game folder, and the updater's own: a
// release may carry a new updater, and no release ever makes one delete it.
const char ReleaseRecordName[] = "korvanth.serial";
const char UpdaterFileName[] = "KorvanthUpdater.exe";

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

// A file the studio dropped from its releases, with the MD5 it had in one
// of them: views into the manifest text.
struct DroppedFile {
    std::string_view path;
    std::string_view md5;
};

// Everything a valid signature vouches for.
struct SignedRelease {
    std::vector<ManifestEntry> entries;
    SignedDigests digests;             // sorted by path
    std::uint64_t serial = 0;          // never 0 in a signed release
    std::int64_t expires = 0;          // seconds since 1970-01-01 00:00 UTC
    std::vector<DroppedFile> dropped;  // sorted by path, then digest
};

// False unless text ends with one well-formed signature line (a line feed
// at its end, nothing after it).
bool SplitSignature(const std::string& text, SignedParts& parts);

// The signed part's reading: false unless it has exactly one release and
// one expiry line, every entry's path exactly one SHA-256 line and every
// SHA-256 line one entry, the release record among the entries, and every
// dropped line a digest and a safe path that no entry has.
bool SignedEntries(std::string_view signedText, SignedRelease& release);

// The SHA-256 signed for path, or null.
const std::string_view* FindSignedDigest(const SignedDigests& digests, std::string_view path);

// The whole check: a valid signature by one of keys (count of them) over a
// manifest whose signed part reads as above. False, with release left
// empty, otherwise. Its views are into text.
bool CheckSignedManifest(const std::string& text, const ReleaseKey* keys, std::size_t count,
                         VerifySignature verify, SignedRelease& release);

// The dropped files an updater may delete once the release is in place:
// never its own file, update.url, the release record or the game, and never
// a file an entry names, in whatever case or with whichever separator, which
// Windows takes for the same file.
std::vector<DroppedFile> DeletableDropped(const SignedRelease& release);

// The lines as the release tool writes them.
std::string ReleaseLine(std::uint64_t serial);
std::string ExpiresLine(std::int64_t expires);
std::string DroppedLine(const std::string& md5, const std::string& path);
std::string Sha256Line(const std::string& sha256, const std::string& path);
std::string SignatureLine(const std::string& keyId, const std::string& signature);

// The release record's content for serial, and its reading: a line end
// after the digits may be there or not; anything else reads as no record.
std::string ReleaseRecordText(std::uint64_t serial);
bool ParseReleaseRecord(std::string_view text, std::uint64_t& serial);

// A serial as written: decimal digits, no leading zero, never 0.
bool ParseSerial(std::string_view text, std::uint64_t& serial);

std::string ToBase64(const std::string& bytes);
bool FromBase64(const std::string& text, std::string& bytes);
