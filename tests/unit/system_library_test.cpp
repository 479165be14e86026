// DLLs from the system folder only, with the DLL search left as Windows
// starts it (as where SetDefaultDllDirectories is missing): the junk
// winhttp.dll built beside this program must never be loaded. Wine, which
// prefers its own build, is told to take a copy beside the program first,
// as Windows does; Windows ignores that setting.
#include <gtest/gtest.h>

#include <windows.h>

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
    for (const auto& c : cases) {
        // Loaded already, any copy would be handed back whatever was asked.
        ASSERT_EQ(GetModuleHandleW(L"winhttp.dll"), nullptr) << "case: " << c.name;
        HMODULE module = c.load(L"winhttp.dll");
        ASSERT_NE(module, nullptr) << "case: " << c.name;
        EXPECT_TRUE(GetProcAddress(module, "KorvanthJunkMarker") == NULL)
            << "case: " << c.name << ": got the winhttp.dll beside the tests, expected the system's";
        FreeLibrary(module);
    }
}

}  // namespace
