// Creation of the folders above a relative file path, outermost first.
#pragma once

#include <string>
#include <vector>

// Every prefix before a separator ('/' or '\', output with '\'), in the order
// the folders must be made; the part after the last separator is the file.
std::vector<std::string> ListParentDirs(const std::string& path);

// Failures are ignored: a folder that could not be made shows up later when
// the file inside it cannot be created.
void CreateParentDirs(const std::string& path);
