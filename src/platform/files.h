// Files named in UTF-8, as every name the host hands the library is. On Windows a narrow
// name would be read in the system's ANSI code page, so names go to the system as UTF-16
// there; a folder named in Cyrillic or with emoji works on both systems.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace talkhub::platform {

std::filesystem::path pathFromUtf8(const std::string& name);
std::string utf8FromPath(const std::filesystem::path& path);

// Creates and opens `name` for reading and writing in binary, only when no file of that
// name exists; null otherwise, with errno EEXIST when the name was taken.
std::FILE* createNewFile(const std::string& name);

}  // namespace talkhub::platform
