#include "platform/module_path.h"

namespace talkhub::platform {

std::string moduleFolder(const std::string& fileName) {
    const std::size_t separator = fileName.find_last_of(kPathSeparators);
    return separator == std::string::npos ? fileName : fileName.substr(0, separator);
}

}  // namespace talkhub::platform
