// The download and the file update against a stand-in for WinHTTP, which can
// fail where Wine's cannot be made to: under Wine a body whose connection
// drops just ends, while Windows may fail the read part-way.
#include <gtest/gtest.h>

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "file_digest.h"
#include "file_update.h"
#include "http_download.h"
#include "sha256.h"
#include "winhttp_api.h"

namespace {

// What the stand-in server answers to every request: the status, the body,
// and after how many body bytes a read fails (never, by default).
struct Answer {
    DWORD status = 200;
    std::string body;
    std::size_t failAfter = std::string::npos;
};

Answer answer;
std::size_t sent = 0;
const HINTERNET Handle = reinterpret_cast<HINTERNET>(1);

BOOL WINAPI CrackUrl(LPCWSTR, DWORD, DWORD, LPURL_COMPONENTS parts)
{
    parts->nScheme = INTERNET_SCHEME_HTTP;
    parts->nPort = 80;
    wcscpy(parts->lpszHostName, L"patch");
    parts->dwHostNameLength = 5;
    wcscpy(parts->lpszUrlPath, L"/");
    parts->dwUrlPathLength = 1;
    return TRUE;
}

HINTERNET WINAPI Open(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD)
{
    return Handle;
}

HINTERNET WINAPI Connect(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD)
{
    return Handle;
}

HINTERNET WINAPI OpenRequest(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD)
{
    sent = 0;
    return Handle;
}

BOOL WINAPI SendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR)
{
    return TRUE;
}

BOOL WINAPI ReceiveResponse(HINTERNET, LPVOID)
{
    return TRUE;
}

// The status as a number; no other header (no Content-Length).
BOOL WINAPI QueryHeaders(HINTERNET, DWORD info, LPCWSTR, LPVOID buffer, LPDWORD, LPDWORD)
{
    if ((info & WINHTTP_QUERY_FLAG_NUMBER) == 0)
        return FALSE;
    *static_cast<DWORD*>(buffer) = answer.status;
    return TRUE;
}

// In chunks of 8 KiB, as WinHTTP under Wine hands a body over.
BOOL WINAPI QueryDataAvailable(HINTERNET, LPDWORD available)
{
    *available = static_cast<DWORD>(std::min<std::size_t>(answer.body.size() - sent, 8192));
    return TRUE;
}

BOOL WINAPI ReadData(HINTERNET, LPVOID buffer, DWORD wanted, LPDWORD got)
{
    if (sent >= answer.failAfter) {
        SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
        return FALSE;
    }
    const std::size_t count = std::min<std::size_t>(
        {wanted, answer.body.size() - sent, answer.failAfter - sent});
    std::memcpy(buffer, answer.body.data() + sent, count);
    sent += count;
    *got = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WINAPI CloseRequest(HINTERNET)
{
    return TRUE;
}

const WinHttpApi StandIn = {
    CrackUrl,           Open,     Connect,     OpenRequest, SendRequest, ReceiveResponse, QueryHeaders,
    QueryDataAvailable, ReadData, CloseRequest};

// Six of the stand-in's chunks: a body that goes on past it ends a chunk
// right at its signed size.
std::string Body()
{
    std::string bytes;
    for (int i = 0; i < 49152; ++i)
        bytes += static_cast<char>(i % 251);
    return bytes;
}

std::string Contents(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
}

// A scratch folder made current, with the stand-in server, for one test.
class StandInServer : public testing::Test {
  protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder = std::string(temp) + "kv-update";
        CreateDirectoryA(folder.c_str(), NULL);
        GetCurrentDirectoryA(MAX_PATH, previous);
        SetCurrentDirectoryA(folder.c_str());
        SubstituteWinHttp(&StandIn);
    }
    void TearDown() override
    {
        SubstituteWinHttp(NULL);
        SetCurrentDirectoryA(previous);
    }
    std::string folder;
    char previous[MAX_PATH];
};

TEST_F(StandInServer, HttpDownload)
{
    const std::string body = Body();
    const struct {
        const char* name;
        Answer answer;
        const char* file;  // empty: into memory
        bool ok;
        std::string got;
    } cases[] = {
        {"whole body into a file", {200, body}, "a.bin", true, body},
        // The digest check after it judges what arrived.
        {"read fails part-way into a file", {200, body, 20000}, "a.bin", true, body.substr(0, 20000)},
        {"status 404", {404, body}, "a.bin", false, "(none)"},
        // Nothing checks a manifest's digest: one cut short is not used.
        {"read fails part-way into memory", {200, body, 20000}, "", false, body.substr(0, 20000)},
    };
    for (const auto& c : cases) {
        answer = c.answer;
        DeleteFileA("a.bin");
        std::string memory;
        EXPECT_EQ(HttpDownload("http://patch/", "files/a.bin", c.file, &memory, 0), c.ok)
            << "case: " << c.name;
        EXPECT_TRUE((*c.file ? Contents(c.file) : memory) == c.got) << "case: " << c.name;
    }
}

// What the player reads, with line ends as "\n" whatever stdout's mode.
std::string Printed(const std::vector<ManifestEntry>& pending, const SignedDigests* signedSha256,
                    int& failures)
{
    std::fflush(stdout);
    const int saved = _dup(1);
    const int file = _open("console.txt", _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(file, 1);
    failures = UpdatePendingFiles("http://patch/", pending, signedSha256);
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    _close(file);
    std::string text = Contents("console.txt");
    for (std::string::size_type at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

TEST_F(StandInServer, UpdatePendingFiles)
{
    const std::string body = Body();
    std::ofstream("new.bin", std::ios::binary) << body;
    std::string md5, sha256;
    Sha256Hash hash;
    ASSERT_TRUE(Md5File("new.bin", md5) && BeginSha256(hash) &&
                AddToSha256(hash, reinterpret_cast<const unsigned char*>(body.data()), 49152) &&
                FinishSha256(hash, sha256));
    ReleaseSha256(hash);
    const std::string counter = " [1/1] data/a.pak\n";
    const std::string progress = "\r    8 / 48 KB\r    16 / 48 KB\r    24 / 48 KB\r    32 / 48 KB";
    const std::string whole = progress + "\r    40 / 48 KB\r    48 / 48 KB\n";
    const std::string corrupt = "    [!] Hash incorrecto, descarga corrupta.\n";
    const std::string zeros(64, '0');
    const SignedDigests signedAs = {{"data/a.pak", sha256}};
    const SignedDigests signedOther = {{"data/a.pak", zeros}};
    const SignedDigests signedNone;
    const struct {
        const char* name;
        Answer answer;
        const SignedDigests* signedSha256;  // null: an updater built without keys
        std::string printed;
        int failures;
    } cases[] = {
        {"whole body", {200, body}, nullptr, counter + whole, 0},
        {"read fails part-way",
         {200, body, 20000},
         nullptr,
         counter + "\r    8 / 48 KB\r    16 / 48 KB\r    19 / 48 KB\n" + corrupt,
         1},
        {"status 404", {404, body}, nullptr, counter, 1},
        {"signed, whole body", {200, body}, &signedAs, counter + whole, 0},
        {"signed, no SHA-256 for the path", {200, body}, &signedNone, counter + whole + corrupt, 1},
        {"signed, the MD5's bytes but another SHA-256",
         {200, body},
         &signedOther,
         counter + whole + corrupt,
         1},
        // Read no further than one chunk past the signed size; what was
        // written has the signed MD5, but no SHA-256 was taken of it.
        {"signed, a body that goes on past its size",
         {200, body + std::string(1 << 20, 'x')},
         &signedAs,
         counter + whole + corrupt,
         1},
    };
    for (const auto& c : cases) {
        answer = c.answer;
        CreateDirectoryA("data", NULL);
        std::ofstream("data\\a.pak", std::ios::binary) << "old";
        int failures = -1;
        EXPECT_EQ(Printed({{md5, body.size(), "data/a.pak"}}, c.signedSha256, failures), c.printed)
            << "case: " << c.name;
        EXPECT_EQ(failures, c.failures) << "case: " << c.name;
        EXPECT_EQ(Contents("data\\a.pak"), c.failures == 0 ? body : "old") << "case: " << c.name;
        EXPECT_EQ(Contents("data\\a.pak.kvdl"), "(none)") << "case: " << c.name;
        EXPECT_LE(sent, body.size() + 8192) << "case: " << c.name;
    }
}

}  // namespace
