// The patch server's base URL cut into what a WinHTTP request needs.
#pragma once

#include <cstdint>
#include <string>

// UTF-16 form of text (ANSI code page), up to its first zero byte.
std::wstring ToWide(const std::string& text);

// False, with the outputs untouched, when WinHTTP cannot split url. path
// always ends in '/', so a relative resource name can simply be appended.
bool SplitUrl(const std::string& url, bool& secure, std::wstring& host, std::uint16_t& port,
              std::wstring& path);
