// Text as the tool prints it. A password in a URL's user part is an
// operator's secret and must not end up in a terminal's scroll-back or a
// log; a control character in a file name could move the cursor, clear the
// screen or forge a line of its own.
#pragma once

#include <string>

// text with the password of every "scheme://user:password@" replaced by
// "***", and the whole of a "scheme://token@" user part, and every control
// character and backslash written as \xNN; everything else unchanged.
std::string Shown(const std::string& text);
