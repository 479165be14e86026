// URL splitting through the real WinHttpCrackUrl.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "url_split.h"

namespace {

std::string Narrow(const std::wstring& wide)
{
    std::string out;
    for (wchar_t c : wide)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

TEST(SplitUrl, SchemesPortsAndPaths)
{
    const struct {
        std::string url;
        bool secure;
        const char* host;
        std::uint16_t port;
        const char* path;
    } cases[] = {
        {"http://patch.example/", false, "patch.example", 80, "/"},
        {"http://patch.example", false, "patch.example", 80, "/"},
        {"https://patch.example/", true, "patch.example", 443, "/"},
        {"https://patch.example/dir", true, "patch.example", 443, "/dir/"},
        {"https://patch.example/dir/", true, "patch.example", 443, "/dir/"},
        {"http://127.0.0.1:8080/patch", false, "127.0.0.1", 8080, "/patch/"},
        {"https://127.0.0.1:8443/a/b/", true, "127.0.0.1", 8443, "/a/b/"},
        {"http://localhost:443/", false, "localhost", 443, "/"},
        {"https://localhost:80/", true, "localhost", 80, "/"},
        {"http://h/" + std::string(1021, 'p'), false, "h", 80, nullptr},
    };
    for (const auto& c : cases) {
        bool secure = !c.secure;
        std::wstring host = L"old";
        std::uint16_t port = 1;
        std::wstring path = L"old";
        ASSERT_TRUE(SplitUrl(c.url, secure, host, port, path)) << "case: " << c.url;
        EXPECT_EQ(secure, c.secure) << "case: " << c.url;
        EXPECT_EQ(Narrow(host), c.host) << "case: " << c.url;
        EXPECT_EQ(port, c.port) << "case: " << c.url;
        const std::string expectedPath = c.path ? c.path : "/" + std::string(1021, 'p') + "/";
        EXPECT_EQ(Narrow(path), expectedPath) << "case: " << c.url.substr(0, 40);
    }
}

TEST(SplitUrl, RejectsAndLeavesOutputsAlone)
{
    const std::string rejected[] = {
        "",
        "patch.example/dir/",
        "ftp://patch.example/",
        "file:///C:/game/",
        "http://" + std::string(256, 'h') + "/",
        "http://h/" + std::string(1024, 'p'),
    };
    for (const std::string& url : rejected) {
        bool secure = true;
        std::wstring host = L"old";
        std::uint16_t port = 1;
        std::wstring path = L"old";
        EXPECT_FALSE(SplitUrl(url, secure, host, port, path)) << "case: " << url.substr(0, 40);
        EXPECT_TRUE(secure && host == L"old" && port == 1 && path == L"old")
            << "case: " << url.substr(0, 40);
    }
}

TEST(ToWide, ConvertsUpToTheFirstZeroByte)
{
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToWide("files/a b.pak"), L"files/a b.pak");
    EXPECT_EQ(ToWide(std::string("ab\0cd", 5)), L"ab");
}

}  // namespace
