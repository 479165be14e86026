// Signing a release's manifest, and checking a signature, with OpenSSL:
// RSA of 3072 bits or more, SHA-256, PKCS#1 v1.5, what the updater checks
// with CryptoAPI alone. The form of the signed manifest is
// src/app/signed_manifest.h's.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "release_store.h"
#include "signed_manifest.h"

// A key file is a few KiB; anything past this is no key (a program, say).
const std::uint64_t MaxKeyFileBytes = 1 << 20;

// A public key as the tool holds it: its id and its DER form.
struct PublicKey {
    std::string id;
    std::string der;
};

// What signs a publish: a private key from a file, or a command (a hardware
// token or a cloud KMS keeps the key) that reads the bytes to sign, or
// their SHA-256, on its standard input and writes the signature on its
// standard output, checked against the public keys given.
struct Signer {
    EVP_PKEY* key = nullptr;  // --sign
    std::string command;      // --sign-command, or
    bool digest = false;      // --sign-digest-command: it signs the bytes' SHA-256
    long timeoutSeconds = DefaultSignTimeoutSeconds;
    std::vector<PublicKey> publicKeys;
    std::string keyId;  // of the key that signs, once known
};

// The RSA public keys of the PEM files at paths, for checks and for
// --sign-command; false, with a message on stderr, when one is not an RSA
// public key of 3072 bits or more.
bool LoadPublicKeys(const std::vector<std::string>& paths, std::vector<PublicKey>& keys);

// The key in the PEM file at path, or null with why (the system's reason
// when it cannot be read). A public key is read without ever asking for a
// passphrase; a private key's passphrase is asked as LoadSigningKey says,
// and a wrong one, one never given and a file that is no key are told
// apart.
EVP_PKEY* ReadPublicKey(const std::string& path, std::string& why);
EVP_PKEY* ReadPrivateKey(const std::string& path, std::string& why);

// Whether a key can be a release key: empty, or why not.
std::string WhyNoReleaseKey(EVP_PKEY* key);

// The key's id (see signed_manifest.h), and der set to its public half's DER
// form; empty when it cannot be made.
std::string KeyId(EVP_PKEY* key, std::string& der);

// The SHA-256 of bytes, its 32 bytes as they are.
std::string Sha256Bytes(std::string_view bytes);

// The private key at path for --sign. Refused, with a message on stderr: a
// key file other users may read, one inside any of the folders outside (the
// release would publish it, the server serve it), a key that is not RSA of
// 3072 bits or more. An encrypted key's passphrase is asked on the
// terminal, or taken from KORVANTH_SIGN_KEY_PASSPHRASE, never from the
// command line.
bool LoadSigningKey(const std::string& path, const std::vector<std::filesystem::path>& outside,
                    Signer& signer);

// The signature of text, checked before it is given back; false with why.
bool Sign(Signer& signer, const std::string& text, std::string& signature, std::string& why);

// The signer options give an operation (--sign, --sign-command or
// --sign-digest-command, each checked against the --release-key keys when
// given), made to sign once before anything else is done (bytes no updater
// takes for a release), so that a signer that fails does so while nothing
// has changed, and its key id is known. False, with a message on stderr
// saying what the signer gave instead of a signature.
bool OpenSigner(const PublishOptions& options, const std::vector<std::filesystem::path>& outside,
                Signer& signer);

// VerifySignature for keys whose bytes are DER (SubjectPublicKeyInfo).
bool VerifyWithOpenSsl(const ReleaseKey& key, std::string_view message, const std::string& signature);

// ReleaseKey views of keys, for CheckSignedManifest; valid while keys is.
std::vector<ReleaseKey> AsReleaseKeys(const std::vector<PublicKey>& keys);

void FreeSigner(Signer& signer);
