// Digest text and its comparison, free of platform calls so they also build
// natively.
#include "file_digest.h"

void DigestText(const unsigned char* value, std::size_t length, std::string& text)
{
    // By table, not printf: MinGW's printf costs more per file than anything
    // else of ours when thousands of small files are checked.
    static const char hexDigits[] = "0123456789abcdef";
    text.resize(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text[2 * i] = hexDigits[value[i] >> 4];
        text[2 * i + 1] = hexDigits[value[i] & 0x0F];
    }
}

bool DigestEquals(const std::string& computed, const std::string& expected)
{
    return computed.size() == expected.size() && computed.compare(expected) == 0;
}
