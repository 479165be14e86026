// URLs as the tool prints them: a password in a URL's user part is an
// operator's secret and must not end up in a terminal's scroll-back or a log.
#pragma once

#include <string>

// text with the password of every "scheme://user:password@" replaced by
// "***", and the whole of a "scheme://token@" user part; everything else
// unchanged.
std::string MaskCredentials(const std::string& text);
