/* Stand-in for Korvanth.exe in the end-to-end tests: records how it was
   started (command line and current folder, in UTF-8, whatever the folder's
   name) in game_started.txt beside itself, then stays two seconds before it
   writes "exited": an updater that waited for the game would show it. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static void PutUtf8(FILE* out, const wchar_t* text)
{
    char bytes[4 * 32768];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), NULL, NULL);
    if (length > 0)
        fputs(bytes, out);
}

int main(void)
{
    static wchar_t self[32768];
    static wchar_t cwd[32768];
    DWORD length = GetModuleFileNameW(NULL, self, 32768);
    wchar_t* slash;
    FILE* out;

    if (length == 0 || length >= 32768)
        return 1;
    GetCurrentDirectoryW(32768, cwd);
    slash = wcsrchr(self, L'\\');
    if (slash == NULL)
        return 1;
    wcscpy(slash + 1, L"game_started.txt");
    out = _wfopen(self, L"wb");
    if (out == NULL)
        return 1;
    fputs("cmdline=", out);
    PutUtf8(out, GetCommandLineW());
    fputs("\ncwd=", out);
    PutUtf8(out, cwd);
    fputs("\n", out);
    fflush(out);
    Sleep(2000);
    fputs("exited\n", out);
    fclose(out);
    return 0;
}
