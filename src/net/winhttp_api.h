// WinHTTP's entry points, taken at run time from the system folder's
// winhttp.dll. It is not imported: the loader would take a winhttp.dll from
// the game folder before the system's, and a broken one there would keep the
// updater (and so the game) from starting at all.
#pragma once

#include <windows.h>
#include <winhttp.h>

struct WinHttpApi {
    decltype(&WinHttpCrackUrl) crackUrl;
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) openRequest;
    decltype(&WinHttpSendRequest) sendRequest;
    decltype(&WinHttpReceiveResponse) receiveResponse;
    decltype(&WinHttpQueryHeaders) queryHeaders;
    decltype(&WinHttpQueryDataAvailable) queryDataAvailable;
    decltype(&WinHttpReadData) readData;
    decltype(&WinHttpCloseHandle) closeHandle;
};

// Every entry point, or NULL when winhttp.dll cannot be loaded from the
// system folder or lacks one of them. Loaded once, kept for the process.
const WinHttpApi* GetWinHttp();

// Makes GetWinHttp hand out api instead (NULL: the system's again), so that
// the unit tests can stand a server in for WinHTTP that fails where Wine's
// cannot be made to.
void SubstituteWinHttp(const WinHttpApi* api);
