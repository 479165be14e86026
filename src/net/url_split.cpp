// URL splitting through WinHttpCrackUrl, so the updater accepts exactly the
// URLs the transfer layer itself understands.
#include "url_split.h"

#include "winhttp_api.h"

std::wstring ToWide(const std::string& text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, NULL, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::wstring::size_type>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], units);
    wide.resize(static_cast<std::wstring::size_type>(units) - 1);
    return wide;
}

bool SplitUrl(const std::string& url, bool& secure, std::wstring& host, std::uint16_t& port,
              std::wstring& path)
{
    const std::wstring wideUrl = ToWide(url);
    wchar_t hostBuffer[256];
    wchar_t pathBuffer[1024];

    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = hostBuffer;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = pathBuffer;
    parts.dwUrlPathLength = 1024;

    const WinHttpApi* winHttp = GetWinHttp();
    if (winHttp == NULL || !winHttp->crackUrl(wideUrl.c_str(), 0, 0, &parts))
        return false;

    secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    host.assign(hostBuffer, parts.dwHostNameLength);
    port = parts.nPort;
    path.assign(pathBuffer, parts.dwUrlPathLength);
    if (path.empty() || path.back() != L'/')
        path += L'/';
    return true;
}
