// Folder creation for a game file about to be downloaded.
#include "parent_dirs.h"

#include <windows.h>

void CreateParentDirs(const std::string& path)
{
    for (const std::string& folder : ListParentDirs(path))
        CreateDirectoryA(folder.c_str(), NULL);
}
