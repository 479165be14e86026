// File digest through the real CryptoAPI: RFC 1321's vectors, sizes around
// the 64 KiB read chunk, and files that cannot be read whole.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "file_digest.h"
#include "win_test_support.h"

namespace {

TEST(Md5File, DigestTextOfKnownContents)
{
    const struct {
        const char* name;
        std::string content;
        const char* expected;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"alphanumerics", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"eighty digits",
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {"one byte short of a chunk", PatternBytes(65535), "89378be93d51bbd3a9aa65e920103692"},
        {"exactly one chunk", PatternBytes(65536), "9cc60713923528a1dd94e1c1ab0ebc9e"},
        {"one chunk and a byte", PatternBytes(65537), "4c2641c7fe5c93d3aed7c406629ff0ab"},
        {"two chunks", PatternBytes(131072), "d02199a197fb4b1777525fe375f9f5f1"},
        {"200,000 bytes", PatternBytes(200000), "415d6e662118c229c6ad3f950c24702a"},
    };
    const std::string folder = MakeScratchFolder("md5");
    for (const auto& c : cases) {
        const std::string path = folder + "f.bin";
        WriteBytes(path, c.content);
        std::string digest;
        EXPECT_TRUE(Md5File(path, digest)) << "case: " << c.name;
        EXPECT_EQ(digest, c.expected) << "case: " << c.name;
    }
}

TEST(Md5File, FailsAndLeavesTheDigestAloneWhenTheFileCannotBeOpened)
{
    const std::string folder = MakeScratchFolder("md5fail");
    WriteBytes(folder + "held.bin", "held");
    HANDLE writer = StartHolder(folder + "held.bin");
    ASSERT_NE(writer, static_cast<HANDLE>(NULL)) << "could not start the holder process";

    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"missing file", folder + "absent.bin"},
        {"a folder", folder.substr(0, folder.size() - 1)},
        {"held open for writing by another process", folder + "held.bin"},
    };
    for (const auto& c : cases) {
        std::string digest = "untouched";
        EXPECT_FALSE(Md5File(c.path, digest)) << "case: " << c.name;
        EXPECT_EQ(digest, "untouched") << "case: " << c.name;
    }
    StopHolder(writer);

    // Released, the same file hashes: the refusal was the other process's doing.
    std::string digest;
    EXPECT_TRUE(Md5File(folder + "held.bin", digest));
    EXPECT_EQ(digest, "0eb29f5d6149e84750bcd6f6e741a7a1");
}

// A read that fails after the first chunk must not yield the digest of the
// bytes read so far. A named pipe whose writer goes away after 70,000 bytes
// gives exactly that: one full chunk, then a failing read.
TEST(Md5File, FailsWhenAReadFailsPartWay)
{
    const char* pipeName = "\\\\.\\pipe\\kv-md5-partial-read";
    HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                   1 << 20, 0, 0, NULL);
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
