// Local names made from manifest paths and from the updater's own path.
#include <gtest/gtest.h>

#include <string>

#include "path_rules.h"

namespace {

struct TextCase {
    const char* input;
    const char* expected;
};

TEST(ToLocalPath, SlashesBecomeBackslashesAndNothingElseChanges)
{
    const TextCase cases[] = {
        {"a/b/c.pak", "a\\b\\c.pak"}, {"a\\b/c", "a\\b\\c"}, {"plain.txt", "plain.txt"},
        {"Mixed Case/ ./x ", "Mixed Case\\ .\\x "}, {"a//b/", "a\\\\b\\"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ToLocalPath(c.input), c.expected) << "case: " << c.input;
}

TEST(FolderOfPath, DropsTheLastSeparatorAndWhatFollows)
{
    const TextCase cases[] = {
        {"C:\\Games\\Korvanth\\KorvanthUpdater.exe", "C:\\Games\\Korvanth"},
        {"C:/Games/KorvanthUpdater.exe", "C:/Games"},
        {"C:\\a/b\\u.exe", "C:\\a/b"},
        {"\\\\server\\share\\u.exe", "\\\\server\\share"},
        {"u.exe", "u.exe"},
        // "C:" alone would name the drive's current folder, not its root.
        {"C:\\u.exe", "C:\\"},
        {"Z:/u.exe", "Z:/"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(FolderOfPath(c.input), c.expected) << "case: " << c.input;
}

}  // namespace
