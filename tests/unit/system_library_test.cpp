// DLLs from the system folder only, with the DLL search left as Windows
// starts it (as where SetDefaultDllDirectories is missing): the junk
// winhttp.dll built beside this program must never be loaded, by the loader
// functions or by the updater's one call site for WinHTTP. Wine, which
// prefers its own build, is told to take a copy beside the program first,
// as Windows does; Windows ignores that setting.
#include <gtest/gtest.h>

#include <windows.h>

#include "system_library.h"
#include "winhttp_api.h"

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

// The module the updater's WinHTTP table was filled from, or NULL. Loaded
// for good, so it must come last.
HMODULE WinHttpTable(const wchar_t*)
{
    const WinHttpApi* api = GetWinHttp();
    HMODULE module = NULL;
    if (api != NULL)
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(api->open),
                           &module);
    return module;
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
    } cases[] = {{"LoadSystemLibrary", LoadSystemLibrary},
                 {"its fallback", LoadSystemLibraryByPath},
                 {"the updater's WinHTTP table", WinHttpTable}};
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
