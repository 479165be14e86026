// DLLs taken from the system folder only. A game folder often holds other
// programs' DLLs (mod loaders drop proxies named after system DLLs), and the
// folder a player starts the updater from may hold anything.
#pragma once

#include <windows.h>

// Limits every later DLL load of the process, the loader's own included, to
// the system folder. Called first thing; a Windows too old to offer that
// keeps its default order, minus the current folder.
void RestrictDllSearchToSystem();

// The named DLL (a bare file name) from the system folder, or NULL.
HMODULE LoadSystemLibrary(const wchar_t* name);

// The same by the DLL's full path in the system folder: what LoadSystemLibrary
// falls back on where Windows does not know LOAD_LIBRARY_SEARCH_SYSTEM32
// (Windows 7 without KB2533623).
HMODULE LoadSystemLibraryByPath(const wchar_t* name);
