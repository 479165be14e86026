// Digest comparison, free of platform calls so it also builds natively.
#include "file_digest.h"

bool DigestEquals(const std::string& computed, const std::string& expected)
{
    return computed.size() == expected.size() && computed.compare(expected) == 0;
}
