// Where the library itself lives on disk.
#pragma once

#include <string>

namespace talkhub::platform {

// What separates folders in a file name: Windows takes both slashes.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// Full file name (UTF-8) of the module that holds this code: the shared library when the
// service is loaded as one, else the host executable. Empty when the system cannot tell.
std::string moduleFileName();

// The folder part of a module file name: everything before the last separator, or the
// whole name when it has none.
std::string moduleFolder(const std::string& fileName);

}  // namespace talkhub::platform
