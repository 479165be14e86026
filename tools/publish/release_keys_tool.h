// The operator's release keys: making one as the updater and the tool want
// it (--generate-key), and telling which key a file holds, or which keys a
// built updater takes (--key-id), so that a key can be matched with the
// releases it signed and the updaters that take them before players meet a
// mismatch.
#pragma once

#include <string>

// Makes an RSA-3072 key at path, encrypted (AES-256, PKCS#8) with the
// passphrase of KORVANTH_SIGN_KEY_PASSPHRASE or the terminal's (typed
// twice), its public half beside it (release.pem: release.pub.pem), and
// prints the key's id. Neither file may exist: a key is never overwritten,
// nor written through a link. Exit code: 0, or 2 with a message on stderr.
int GenerateReleaseKey(const std::string& path);

// Prints the id of the key in the PEM file at path (a public key, or a
// private one, whose passphrase is asked as --sign asks it), or the keys a
// built KorvanthUpdater.exe takes and the server it goes to. Exit code: 0;
// 1 when path holds no release key, or is an updater built without keys;
// 2 when it cannot be read.
int ShowKeyId(const std::string& path);
