// Everything written in the files of one folder, one after the other: what a log folder
// holds, whatever its daily files are called.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace test_kit {

// Empty when the folder does not exist.
inline std::string folderText(const std::filesystem::path& folder) {
    std::string all;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        all += text.str();
    }
    return all;
}

}  // namespace test_kit
