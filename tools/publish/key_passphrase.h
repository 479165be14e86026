// Where the passphrase of an encrypted release key comes from: the
// environment's KORVANTH_SIGN_KEY_PASSPHRASE (a CI job's secret store), or
// the terminal, typed without echo. Never an argument: other users see
// those. What asking came to is kept, so that a key that does not open can
// be told apart from a passphrase that is wrong and one never given.
#pragma once

#include <string>

// What asking for one key's passphrase came to.
struct PassphraseAsk {
    std::string path;   // the key's, for the prompt
    std::string given;  // where the passphrase that went to OpenSSL came from, or empty
    std::string none;   // why none did, when one was asked for
};

// OpenSSL's passphrase callback (pem_password_cb); ask is a PassphraseAsk.
int GivePassphrase(char* buffer, int size, int writing, void* ask);

// The passphrase of a new key at path: the environment's, or typed twice
// on the terminal. False, with why, when there is none, it is empty, or the
// two typed differ.
bool NewPassphrase(const std::string& path, std::string& passphrase, std::string& why);
