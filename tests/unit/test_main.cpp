// Entry point of the Windows unit tests; "unit_tests.exe --holder PATH" is
// instead the end-to-end suite's other program that holds a game file open
// for writing (sharing reads): it prints "R" once it has the file, then waits.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--holder") == 0) {
        HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 2;
        std::fputc('R', stdout);
        std::fflush(stdout);
        Sleep(INFINITE);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
