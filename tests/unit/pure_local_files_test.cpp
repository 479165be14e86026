// Digest comparison and the folder prefixes of a path: the platform-free
// halves of the local-file helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_digest.h"
#include "parent_dirs.h"

namespace {

TEST(DigestEquals, ExactBytesOnlyAndSymmetric)
{
    const std::string d = "900150983cd24fb0d6963f7d28e17f72";
    const struct {
        const char* name;
        std::string a;
        std::string b;
        bool expected;
    } cases[] = {
        {"both empty", "", "", true},
        {"same digest", d, d, true},
        {"one character short", d, d.substr(0, 31), false},
        {"empty against digest", "", d, false},
        {"case of one letter", d, "900150983cd24fb0d6963f7d28e17F72", false},
        {"last byte differs", d, "900150983cd24fb0d6963f7d28e17f73", false},
        {"first byte differs", d, "000150983cd24fb0d6963f7d28e17f72", false},
        {"trailing blank", d, d + " ", false},
        {"embedded NUL differs", std::string("ab\0c", 4), std::string("ab\0d", 4), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DigestEquals(c.a, c.b), c.expected) << "case: " << c.name;
        EXPECT_EQ(DigestEquals(c.b, c.a), c.expected) << "case (swapped): " << c.name;
    }
}

TEST(ListParentDirs, OutermostFirstNeverTheFileItself)
{
    const struct {
        const char* path;
        std::vector<std::string> expected;
    } cases[] = {
        {"file.txt", {}},
        {"A/B/F", {"A", "A\\B"}},
        {"A\\B\\F", {"A", "A\\B"}},
        {"\\A\\F", {"\\A"}},
        {"A/", {"A"}},
        {"A//B/F", {"A", "A\\", "A\\\\B"}},
        {"D:/G/F", {"D:", "D:\\G"}},
        {"maps/sub dir/town.map", {"maps", "maps\\sub dir"}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ListParentDirs(c.path), c.expected) << "case: " << c.path;
}

}  // namespace
