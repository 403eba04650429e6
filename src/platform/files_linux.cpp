#include "platform/files.h"

namespace talkhub::platform {

std::FILE* createNewFile(const std::string& name) { return std::fopen(name.c_str(), "wb+x"); }

}  // namespace talkhub::platform
