/* Stand-in for Korvanth.exe in the end-to-end tests: records how it was
   started (command line and current folder) in game_started.txt beside itself,
   then exits at once. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    char self[MAX_PATH];
    char cwd[MAX_PATH];
    char record[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(NULL, self, MAX_PATH);
    char* slash;
    FILE* out;

    if (length == 0 || length >= MAX_PATH)
        return 1;
    GetCurrentDirectoryA(MAX_PATH, cwd);
    slash = strrchr(self, '\\');
    if (slash == NULL)
        return 1;
    slash[1] = '\0';
    snprintf(record, sizeof(record), "%sgame_started.txt", self);
    out = fopen(record, "wb");
    if (out == NULL)
        return 1;
    fprintf(out, "cmdline=%s\ncwd=%s\n", GetCommandLineA(), cwd);
    fclose(out);
    return 0;
}
