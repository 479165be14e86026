// The game is started detached: the updater never waits on it or holds a
// handle to it, so the game runs the same as when started by hand.
#include "game_launch.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

const char GameExeName[] = "Korvanth.exe";

void LaunchGame()
{
    char commandLine[264];
    std::snprintf(commandLine, sizeof(commandLine), "\"%s\"", GameExeName);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));

    // Whatever is still buffered must reach the console before the game (or
    // the command interpreter) starts writing to it.
    std::fflush(stdout);
    if (CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return;
    }
    const DWORD error = GetLastError();
    std::printf("\n [!] No pude abrir \"%s\" (%lu). Abrilo a mano.\n", GameExeName,
                static_cast<unsigned long>(error));
    std::fflush(stdout);
    std::system("pause");
}
