// MD5 digest of a local file as digest text (32 lower-case hex characters),
// and the comparison of two digest texts.
#pragma once

#include <cstddef>
#include <string>

// True with digest set on success; false with digest untouched when the file
// cannot be opened, read to its end or hashed.
bool Md5File(const std::string& path, std::string& digest);

// Takes one lasting reference to the default hash provider's DLL, from the
// system folder only. Without it every Md5File call loads and unloads that
// DLL with its context, which dominates the check of many small files.
void KeepDigestProviderLoaded();

// Writes a digest's value into text as digest text: two lower-case hex
// digits a byte. text's buffer is reused: no allocation for a digest after
// the first.
void DigestText(const unsigned char* value, std::size_t length, std::string& text);

// Byte-for-byte: no case folding or trimming, so only a manifest digest in
// the canonical form matches a computed one.
bool DigestEquals(const std::string& computed, const std::string& expected);
