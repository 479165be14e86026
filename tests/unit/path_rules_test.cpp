// Local names made from manifest paths and from the updater's own path.
#include <gtest/gtest.h>

#include <string>

#include "path_rules.h"

namespace {

TEST(ToLocalPath, SlashesBecomeBackslashesAndNothingElseChanges)
{
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {{"a/b/c.pak", "a\\b\\c.pak"}, {"a\\b/c ", "a\\b\\c "}, {"a//b/", "a\\\\b\\"}};
    for (const auto& c : cases)
        EXPECT_EQ(ToLocalPath(c.input), c.expected) << "case: " << c.input;
}

TEST(StripFileName, DropsTheLastSeparatorAndWhatFollows)
{
    const struct {
        const wchar_t* input;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\Games\\Korvanth\\KorvanthUpdater.exe", L"C:\\Games\\Korvanth"},
        {L"C:\\a/b\\u.exe", L"C:\\a/b"},
        {L"u.exe", L"u.exe"},
        // "C:" alone would name the drive's current folder, not its root.
        {L"C:\\u.exe", L"C:\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StripFileName(c.input), c.expected)
            << "case: " << testing::PrintToString(std::wstring(c.input));
}

}  // namespace
