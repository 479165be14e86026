// Helpers of the Windows unit tests: scratch folders, files of known bytes,
// and a second process that holds a file the way another program would.
#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the system's temporary folder, with a trailing '\'.
std::string MakeScratchFolder(const char* tag);

void WriteBytes(const std::string& path, const std::string& bytes);

// n bytes of a pattern whose period (251) divides no power of two, so a
// chunk hashed twice or skipped changes the digest.
std::string PatternBytes(size_t n);

// Starts this test program again as a process that holds path open for
// writing without sharing, and returns once it has the file; NULL when it
// could not be started.
HANDLE StartHolder(const std::string& path);
void StopHolder(HANDLE holder);

// Called first by main: true when this process is a holder (it then never returns).
bool RunAsHolderIfAsked(int argc, char** argv);
