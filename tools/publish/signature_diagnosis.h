// What a signing command gave, when it is no signature a --release-key key
// checks. Tokens and KMSs sign in many ways (PSS padding, a bare digest,
// another digest algorithm, base64 on the wire), and "does not check" says
// nothing of which: the key's public operation, with no padding taken off,
// shows what was signed, and the operator is told what to change.
#pragma once

#include <string>
#include <vector>

#include "release_signing.h"

// What is wrong with signature as one of text by one of keys, worded to
// follow the option's name ("--sign-command wrote base64: ..."). digest:
// the command was given text's SHA-256 to sign, not text.
std::string WhyNoSignature(const std::vector<PublicKey>& keys, const std::string& text,
                           const std::string& signature, bool digest);
