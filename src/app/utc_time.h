// Seconds since 1970-01-01 00:00 UTC as "YYYY-MM-DDTHH:MM:SSZ", and back:
// the form of a signed release's expiry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

std::string UtcTimeText(std::int64_t seconds);

// Only that form, for a year from 1970 to 9999 and a date that exists, is
// read.
bool ParseUtcTime(std::string_view text, std::int64_t& seconds);
