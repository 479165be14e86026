// The updater's only network code: synchronous WinHTTP, one session per call,
// nothing set beyond the defaults so that the platform's proxy, TLS and
// redirect handling apply unchanged.
#include "http_download.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>

#include "manifest.h"
#include "sha256.h"
#include "transfer_floor.h"
#include "url_split.h"
#include "winhttp_api.h"

namespace {

const DWORD TransferChunkSize = 0x10000;
unsigned char transferBuffer[TransferChunkSize];

// Formatted in memory and written at once: MinGW's printf feeds a stream one
// character at a time, which costs measurably when repeated for every chunk.
void PrintProgress(std::uint64_t received, std::uint64_t expected)
{
    char line[64];
    const int length = std::snprintf(line, sizeof(line), "\r    %llu / %llu KB",
                                     static_cast<unsigned long long>(received >> 10),
                                     static_cast<unsigned long long>(expected >> 10));
    if (length > 0)
        std::fwrite(line, 1, static_cast<std::size_t>(length), stdout);
    std::fflush(stdout);
}

// The declared Content-Length, if the response has one. Read as text so that
// a value beyond 32 bits is not cut down to something that looks plausible.
bool QueryContentLength(const WinHttpApi& winHttp, HINTERNET request, std::uint64_t& length)
{
    wchar_t text[32];
    DWORD textBytes = sizeof(text);
    if (!winHttp.queryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                              &textBytes, WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t* end = NULL;
    length = std::wcstoull(text, &end, 10);
    return end != text;
}

}  // namespace

bool HttpDownload(const std::string& baseUrl, const std::string& relativePath, const std::string& filePath,
                  std::string* body, std::uint64_t expectedSize, SignedBody* signedBody)
{
    bool secure = false;
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring urlPath;
    const WinHttpApi* winHttp = GetWinHttp();
    if (winHttp == NULL || !SplitUrl(baseUrl, secure, host, port, urlPath))
        return false;

    const bool toFile = !filePath.empty();
    HINTERNET session = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    Sha256Hash sha256;
    TransferFloor floor;
    bool hashing = false;
    bool ok = false;
    bool hasDeclaredLength = false;
    std::uint64_t declaredLength = 0;
    std::uint64_t received = 0;
    DWORD status = 0;
    DWORD statusBytes = sizeof(status);
    const std::wstring objectName = urlPath + ToWide(relativePath);

    session = winHttp->open(L"KorvanthUpdater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == NULL)
        goto done;
    connection = winHttp->connect(session, host.c_str(), port, 0);
    if (connection == NULL)
        goto done;
    request = winHttp->openRequest(connection, L"GET", objectName.c_str(), NULL, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == NULL)
        goto done;
    if (!winHttp->sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        goto done;
    if (!winHttp->receiveResponse(request, NULL))
        goto done;

    winHttp->queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX);
    if (status != 200)
        goto done;

    if (toFile) {
        // Created only now, so a refused request never truncates an old file.
        file = CreateFileA(filePath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           NULL);
        if (file == INVALID_HANDLE_VALUE)
            goto done;
        if (signedBody != NULL) {
            signedBody->sha256.clear();
            hashing = BeginSha256(sha256);
        }
    } else {
        // WinHTTP ends a body quietly when the connection drops; in memory the
        // declared length is the only way to tell a manifest cut short.
        hasDeclaredLength = QueryContentLength(*winHttp, request, declaredLength);
        if (hasDeclaredLength && declaredLength > MaxManifestBytes)
            goto done;
    }

    ok = true;
    StartFloor(floor, GetTickCount());
    for (;;) {
        DWORD available = 0;
        if (!winHttp->queryDataAvailable(request, &available)) {
            ok = false;
            break;
        }
        if (available == 0)
            break;
        const DWORD chunk = available < TransferChunkSize ? available : TransferChunkSize;
        DWORD got = 0;
        if (!winHttp->readData(request, transferBuffer, chunk, &got)) {
            // A failed read ends the body. A file's digest check judges what
            // arrived; a manifest has no such check, so one cut short is not used.
            ok = toFile;
            break;
        }
        if (got == 0)
            break;
        received += got;
        // A server that sends a byte now and then fails the transfer like
        // one that drops it: nothing on the way may keep a player from the
        // game for long.
        if (!AboveFloor(floor, GetTickCount(), received)) {
            ok = false;
            break;
        }

        // A signed release says how long each file is: a server that goes on
        // past it is not read to the end of the disk. Without its SHA-256 a
        // file cannot pass either, so reading stops too.
        if (toFile && signedBody != NULL &&
            (!hashing || received > signedBody->maxSize || !AddToSha256(sha256, transferBuffer, got))) {
            hashing = false;
            break;
        }
        if (toFile) {
            DWORD written = 0;
            if (!WriteFile(file, transferBuffer, got, &written, NULL) || written != got) {
                ok = false;
                break;
            }
            if (expectedSize != 0)
                PrintProgress(received, expectedSize);
        } else {
            if (received > MaxManifestBytes) {
                ok = false;
                break;
            }
            if (body != NULL)
                body->append(reinterpret_cast<const char*>(transferBuffer), got);
        }
    }
    if (expectedSize != 0) {
        std::printf("\n");
        std::fflush(stdout);
    }
    if (ok && !toFile && hasDeclaredLength && received != declaredLength)
        ok = false;
    if (ok && hashing)
        FinishSha256(sha256, signedBody->sha256);

done:
    ReleaseSha256(sha256);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (request != NULL)
        winHttp->closeHandle(request);
    if (connection != NULL)
        winHttp->closeHandle(connection);
    if (session != NULL)
        winHttp->closeHandle(session);
    return ok;
}
