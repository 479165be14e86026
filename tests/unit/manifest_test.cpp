// Manifest parser: text in, entries out, one row per rule of the format.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "manifest.h"

bool operator==(const ManifestEntry& a, const ManifestEntry& b)
{
    return a.md5 == b.md5 && a.size == b.size && a.path == b.path;
}

void PrintTo(const ManifestEntry& e, std::ostream* out)
{
    *out << "{md5=\"" << testing::PrintToString(e.md5) << "\" size=" << e.size
         << " path=" << testing::PrintToString(e.path) << "}";
}

namespace {

const std::string D = "0123456789abcdef0123456789abcdef";
const std::string U = "0123456789ABCDEF0123456789ABCDEF";
const std::uint64_t Max64 = UINT64_MAX;

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<ManifestEntry> expected;
};

TEST(ParseManifest, FormatRules)
{
    const ParseCase cases[] = {
        {"one LF line", D + "\t12\ta/b.pak\n", {{D, 12, "a/b.pak"}}},
        {"last line without LF", D + "\t1\tx\n" + D + "\t2\ty", {{D, 1, "x"}, {D, 2, "y"}}},
        {"CR LF and trailing blanks",
         D + "\t5\tx.dat \r \r\n" + D + "\t6\ty\r\n",
         {{D, 5, "x.dat"}, {D, 6, "y"}}},
        // CR alone ends no line: the path would run on over the next records,
        // CRs and tabs included, and control characters are refused in paths.
        {"CR alone separates nothing", D + "\t1\ta\r" + D + "\t2\tb\r", {}},
        {"trailing tab makes the path refused", D + "\t1\ta\t\n", {}},
        {"fourth field makes the path refused", D + "\t1\ta\tb\n", {}},
        {"blank, blanks-only, CR-only lines", "\n   \n\r\n" + D + "\t3\tz\n\n", {{D, 3, "z"}}},
        {"comment at column one", "# " + D + "\t1\tc\n#\n" + D + "\t2\td", {{D, 2, "d"}}},
        {"blank before # is no comment", " " + D.substr(1) + "\t7\tp", {{" " + D.substr(1), 7, "p"}}},
        {"digest of 31 bytes", D.substr(1) + "\t1\ta\n", {}},
        {"digest of 33 bytes", D + "0\t1\ta\n", {}},
        {"any 32 bytes are a digest", std::string(32, 'Z') + "\t1\ta", {{std::string(32, 'Z'), 1, "a"}}},
        {"upper-case digest is kept as written", U + "\t1\ta", {{U, 1, "a"}}},
        {"byte-order mark spoils the first line",
         "\xEF\xBB\xBF" + D + "\t1\ta\n" + D + "\t2\tb\n",
         {{D, 2, "b"}}},
        {"no tab", D + " 1 a\n", {}},
        {"one tab", D + "\t1\n", {}},
        {"empty path", D + "\t1\t\n", {}},
        {"path of blanks is empty once trimmed", D + "\t1\t   \r\n", {}},
        {"size with trailing letters", D + "\t12abc\ta", {{D, 12, "a"}}},
        {"empty size", D + "\t\ta", {{D, 0, "a"}}},
        {"size minus one wraps", D + "\t-1\ta", {{D, Max64, "a"}}},
        {"size beyond 64 bits saturates", D + "\t99999999999999999999999\ta", {{D, Max64, "a"}}},
        {"same path twice gives two entries", D + "\t1\ta\n" + U + "\t2\ta\n", {{D, 1, "a"}, {U, 2, "a"}}},
        {"backslash path kept as written", D + "\t1\tdata\\x.pak", {{D, 1, "data\\x.pak"}}},
        {"count of entries, not lines",
         "# header\n" + D + "\t1\ta\nbad line\n\n" + D + "\t2\tb\n# end\n" + D + "\t3\tc",
         {{D, 1, "a"}, {D, 2, "b"}, {D, 3, "c"}}},
        {"empty text", "", {}},
    };
    for (const ParseCase& c : cases) {
        const std::vector<ManifestEntry> got = ParseManifest(c.text);
        EXPECT_EQ(got, c.expected) << "case: " << c.name;
    }
}

// A refused path is skipped like a malformed line; the lines around it stay.
// No length is a reason: a path Windows cannot take fails in the download.
TEST(ParseManifest, PathRules)
{
    // Laid out by hand: one row of the table per line would drown it.
    // clang-format off
    const std::string refused[] = {
        "../Korvanth.exe", "a/../../x", "a\\..\\..\\x", "..", "a/..", "a/.. /b", "a/. ./b", "a\\...\\b",
        "/etc/passwd", "\\Windows\\x.dll", "C:/Windows/x.dll", "C:x.dll", "data.pak:evil",
        "\\\\server\\share\\x", "CON", "sub/nul.txt", "COM1.dat", "lpt9", "aux.tar.gz/x", "conin$", "COM0",
        "lpt0.txt", "COM\xB9", "lpt\xB2.dat", "com\xB3/x", "a\x01b", "esc\x1B[2J", "del\x7F", "x.kvdl",
        "data/town.map.KVDL", "a.KvDl", "KorvanthUpdater.exe.kvold", std::string("CON\0x", 5)};
    const std::string kept[] = {
        "a..b/c", "...x", "x..", "./a", "a/./b", "dir.d/file", "console.dat", "COM10", "LPT", "COM\xB4",
        "nul_file", "maps/town map.dat", "a b/..c", "datos/ma\361ana.txt", "x.kvdl.bak", "kvdl", "a.kvd",
        "tilde~1", std::string(201, 'p'), "d/" + std::string(100000, 'p')};
    // clang-format on
    for (const std::string& path : refused) {
        const std::string text = D + "\t1\tbefore\n" + D + "\t2\t" + path + "\n" + D + "\t3\tafter";
        const std::vector<ManifestEntry> expected = {{D, 1, "before"}, {D, 3, "after"}};
        EXPECT_EQ(ParseManifest(text), expected) << "refused: " << testing::PrintToString(path);
    }
    for (const std::string& path : kept) {
        const std::vector<ManifestEntry> expected = {{D, 1, path}};
        EXPECT_EQ(ParseManifest(D + "\t1\t" + path), expected) << "kept: " << testing::PrintToString(path);
    }
}

}  // namespace
