// File digest and SHA-256 through the real CryptoAPI: RFC 1321's and FIPS
// 180-2's vectors, sizes around the 64 KiB read chunk, and files that cannot
// be read whole.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "file_digest.h"
#include "sha256.h"

namespace {

// A period (251) that divides no power of two: a chunk hashed twice or
// skipped changes the digest.
std::string PatternBytes(size_t n)
{
    std::string bytes;
    while (bytes.size() < n)
        bytes += static_cast<char>(bytes.size() % 251);
    return bytes;
}

std::string TempFolder()
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return folder;
}

std::string ScratchFile(const char* name, const std::string& bytes)
{
    const std::string path = TempFolder() + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

TEST(Md5File, DigestTextOfKnownContents)
{
    const struct {
        const char* name;
        std::string content;
        const char* expected;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"exactly one chunk", PatternBytes(65536), "9cc60713923528a1dd94e1c1ab0ebc9e"},
        {"one chunk and a byte", PatternBytes(65537), "4c2641c7fe5c93d3aed7c406629ff0ab"},
    };
    for (const auto& c : cases) {
        std::string digest;
        EXPECT_TRUE(Md5File(ScratchFile("kv-md5.bin", c.content), digest)) << "case: " << c.name;
        EXPECT_EQ(digest, c.expected) << "case: " << c.name;
    }
}

// FIPS 180-2's vectors through CryptoAPI, and a text fed in two pieces, the
// second of one byte, as a download's chunks arrive.
TEST(Sha256, KnownAnswers)
{
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        const char* expected;
    } cases[] = {
        {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", {"abc"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"a chunk and a byte",
         {PatternBytes(65536), PatternBytes(65537).substr(65536)},
         "237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d"},
    };
    for (const auto& c : cases) {
        Sha256Hash hash;
        std::string digest;
        bool ok = BeginSha256(hash);
        for (const std::string& piece : c.pieces)
            ok = ok && AddToSha256(hash, reinterpret_cast<const unsigned char*>(piece.data()),
                                   static_cast<DWORD>(piece.size()));
        EXPECT_TRUE(ok && FinishSha256(hash, digest)) << "case: " << c.name;
        ReleaseSha256(hash);
        EXPECT_EQ(digest, c.expected) << "case: " << c.name;
    }
}

TEST(Md5File, FailsAndLeavesTheDigestAloneWhenTheFileCannotBeOpened)
{
    // Another writer that lets readers in still keeps the digest out: its
    // writes could change the file under the hash.
    const std::string held = ScratchFile("kv-held.bin", "held");
    HANDLE writer = CreateFileA(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"missing file", TempFolder() + "kv-absent.bin"},
        {"a folder", TempFolder()},
        {"held open for writing, sharing reads", held},
    };
    for (const auto& c : cases) {
        std::string digest = "untouched";
        EXPECT_FALSE(Md5File(c.path, digest)) << "case: " << c.name;
        EXPECT_EQ(digest, "untouched") << "case: " << c.name;
    }
    CloseHandle(writer);
    std::string digest;
    EXPECT_TRUE(Md5File(held, digest)) << "case: the same file, released";
}

// A read that fails after the first chunk must not yield the digest of the
// bytes read so far. A named pipe whose writer goes away after 70,000 bytes
// gives exactly that: one full chunk, then a failing read.
TEST(Md5File, FailsWhenAReadFailsPartWay)
{
    const char* pipeName = "\\\\.\\pipe\\kv-md5-partial-read";
    HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 20, 0,
                                   0, NULL);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    std::thread writer([pipe] {
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
            const std::string bytes = PatternBytes(70000);
            DWORD written = 0;
            WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
            FlushFileBuffers(pipe);
        }
        CloseHandle(pipe);
    });
    std::string digest = "untouched";
    EXPECT_FALSE(Md5File(pipeName, digest));
    EXPECT_EQ(digest, "untouched");
    writer.join();
}

}  // namespace
