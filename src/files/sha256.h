// SHA-256 through CryptoAPI's AES provider, for signed releases: a file's
// digest taken as its bytes arrive, and the check of a manifest's signature.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "signed_manifest.h"

// A SHA-256 being taken. Handles start as 0 (none).
struct Sha256Hash {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
};

bool BeginSha256(Sha256Hash& sha256);
bool AddToSha256(Sha256Hash& sha256, const unsigned char* data, DWORD length);

// The digest as 64 lower-case hex digits; false when it cannot be made.
bool FinishSha256(Sha256Hash& sha256, std::string& digest);

// Releases the hash and its context, whether finished or not.
void ReleaseSha256(Sha256Hash& sha256);

// Whether signature (most significant byte first, as OpenSSL writes it) is
// key's over message: RSA with SHA-256 and PKCS#1 v1.5 padding, key being a
// CryptoAPI PUBLICKEYBLOB.
bool VerifyWithCryptoApi(const ReleaseKey& key, std::string_view message, const std::string& signature);
