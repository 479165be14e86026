#include "win_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string MakeScratchFolder(const char* tag)
{
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    for (unsigned n = GetTickCount();; ++n) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof(name), "%skv-%s-%lu-%u", base, tag, GetCurrentProcessId(), n);
        if (CreateDirectoryA(name, NULL))
            return std::string(name) + "\\";
    }
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f != NULL) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

std::string PatternBytes(size_t n)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

HANDLE StartHolder(const std::string& path)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --holder \"" + path + "\"";

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE readEnd = NULL;
    HANDLE writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return NULL;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    const BOOL started = CreateProcessA(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL,
                                        &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return NULL;
    }
    CloseHandle(process.hThread);

    // The holder writes one byte once it has the file; end of pipe means it failed.
    char ready = 0;
    DWORD got = 0;
    const BOOL read = ReadFile(readEnd, &ready, 1, &got, NULL);
    CloseHandle(readEnd);
    if (!read || got != 1 || ready != 'R') {
        StopHolder(process.hProcess);
        return NULL;
    }
    return process.hProcess;
}

void StopHolder(HANDLE holder)
{
    if (holder == NULL)
        return;
    TerminateProcess(holder, 0);
    WaitForSingleObject(holder, 10000);
    CloseHandle(holder);
}

bool RunAsHolderIfAsked(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--holder") != 0)
        return false;
    HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        std::exit(2);
    std::fputc('R', stdout);
    std::fflush(stdout);
    Sleep(INFINITE);
    return true;
}
