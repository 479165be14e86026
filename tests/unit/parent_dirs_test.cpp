// Folder creation on a real file system.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "parent_dirs.h"
#include "win_test_support.h"

namespace {

bool IsFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(CreateParentDirs, MakesEveryFolderAboveTheFileAndNotTheFile)
{
    const std::string folder = MakeScratchFolder("dirs");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));

    CreateParentDirs("maps/sub dir/deep/town.map");
    CreateParentDirs("mixed\\slash/file.dat");
    CreateParentDirs("bare.txt");
    WriteBytes("taken", "a file, not a folder");
    CreateParentDirs("taken/inside/x.dat");
    // Again over existing folders: nothing changes, nothing breaks.
    CreateParentDirs("maps/sub dir/deep/town.map");

    const struct {
        const char* path;
        bool folder;
        bool exists;
    } expected[] = {
        {"maps", true, true},
        {"maps\\sub dir", true, true},
        {"maps\\sub dir\\deep", true, true},
        {"maps\\sub dir\\deep\\town.map", false, false},
        {"mixed\\slash", true, true},
        {"mixed\\slash\\file.dat", false, false},
        {"bare.txt", false, false},
        {"taken", false, true},
        {"taken\\inside", false, false},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(IsFolder(e.path), e.folder) << "case: " << e.path;
        EXPECT_EQ(Exists(e.path), e.exists) << "case: " << e.path;
    }
    SetCurrentDirectoryA(previous);
}

}  // namespace
