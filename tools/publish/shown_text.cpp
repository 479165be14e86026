// Masking the user part of URLs, and escaping control characters, in
// anything the tool prints.
#include "shown_text.h"

namespace {

std::string Masked(const std::string& text)
{
    std::string out;
    std::string::size_type pos = 0;
    for (;;) {
        const std::string::size_type scheme = text.find("://", pos);
        if (scheme == std::string::npos)
            break;
        const std::string::size_type start = scheme + 3;
        // The user part ends at the last '@' before the host's end: a
        // password may itself hold '@', a host never does.
        const std::string::size_type hostEnd = text.find_first_of("/?# \t\r\n", start);
        const std::string authority = text.substr(start, hostEnd == std::string::npos ? std::string::npos
                                                                                      : hostEnd - start);
        const std::string::size_type at = authority.rfind('@');
        const std::string::size_type colon = authority.find(':');
        out += text.substr(pos, start - pos);
        // A user part without a password is often a token: all of it goes.
        if (at != std::string::npos && colon != std::string::npos && colon < at)
            out += authority.substr(0, colon + 1) + "***" + authority.substr(at);
        else if (at != std::string::npos)
            out += "***" + authority.substr(at);
        else
            out += authority;
        pos = start + authority.size();
    }
    return out + text.substr(pos);
}

}  // namespace

std::string Shown(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Masked(text)) {
        // The backslash too, so that \x1b in a name is never an escaped ESC.
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
