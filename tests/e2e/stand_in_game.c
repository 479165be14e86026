/* Stand-in for Korvanth.exe in the end-to-end tests: records how it was
   started (command line and current folder, in UTF-8, whatever the folder's
   name) in game_started.txt beside itself, then stays ten seconds before it
   writes "exited": an updater that waited for the game would show it. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static char utf8[4 * 32768];

static const char* Utf8(const wchar_t* text)
{
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL) > 0 ? utf8 : "?";
}

int main(void)
{
    static wchar_t self[32768];
    static wchar_t cwd[32768];
    FILE* out;

    GetCurrentDirectoryW(32768, cwd);
    if (GetModuleFileNameW(NULL, self, 32768) == 0 || wcsrchr(self, L'\\') == NULL)
        return 1;
    wcscpy(wcsrchr(self, L'\\') + 1, L"game_started.txt");
    if ((out = _wfopen(self, L"wb")) == NULL)
        return 1;
    fprintf(out, "cmdline=%s\n", Utf8(GetCommandLineW()));
    fprintf(out, "cwd=%s\n", Utf8(cwd));
    fflush(out);
    Sleep(10000);
    fputs("exited\n", out);
    fclose(out);
    return 0;
}
