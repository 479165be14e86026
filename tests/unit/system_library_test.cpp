// DLLs from the system folder only, with the process's DLL search left as
// Windows starts it (as where SetDefaultDllDirectories is missing): the
// winhttp.dll built beside this program must never be the one loaded.
// Wine prefers its own build of a DLL it implements to a copy beside the
// program, which would hide the junk; for the test's duration it is told,
// through its own setting, to take such a copy first, as Windows does.
// Windows ignores that setting.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>

#include "system_library.h"

namespace {

const wchar_t WineOverrides[] = L"Software\\Wine\\DllOverrides";

struct WineTakesCopiesBesideTheProgram {
    WineTakesCopiesBesideTheProgram()
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, WineOverrides, L"winhttp", REG_SZ, L"native,builtin",
                        sizeof(L"native,builtin"));
    }
    ~WineTakesCopiesBesideTheProgram()
    {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, WineOverrides, L"winhttp");
    }
};

std::wstring FolderOf(HMODULE module)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring text(path, length < MAX_PATH ? length : 0);
    return text.substr(0, text.find_last_of(L'\\'));
}

TEST(LoadSystemLibrary, TakesTheSystemCopyOverOneBesideTheProgram)
{
    const WineTakesCopiesBesideTheProgram nativeFirst;
    // The junk is in the way: a load by bare name takes it.
    HMODULE junk = LoadLibraryW(L"winhttp.dll");
    ASSERT_NE(GetProcAddress(junk, "KorvanthJunkMarker"), nullptr) << "no junk winhttp.dll beside the tests";
    FreeLibrary(junk);

    const struct {
        const char* name;
        HMODULE (*load)(const wchar_t*);
    } cases[] = {{"LoadSystemLibrary", LoadSystemLibrary}, {"its fallback", LoadSystemLibraryByPath}};
    wchar_t system[MAX_PATH];
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    for (const auto& c : cases) {
        // Loaded already, any copy would be handed back whatever was asked.
        ASSERT_EQ(GetModuleHandleW(L"winhttp.dll"), nullptr) << "case: " << c.name;
        HMODULE module = c.load(L"winhttp.dll");
        ASSERT_NE(module, nullptr) << "case: " << c.name;
        EXPECT_EQ(_wcsicmp(FolderOf(module).c_str(), systemFolder.c_str()), 0)
            << "case: " << c.name << ": got " << testing::PrintToString(FolderOf(module)) << ", expected "
            << testing::PrintToString(systemFolder);
        FreeLibrary(module);
    }
}

}  // namespace
