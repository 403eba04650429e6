#include <dlfcn.h>

#include <climits>
#include <cstdlib>

#include "platform/module_path.h"

namespace talkhub::platform {

std::string moduleFileName() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&moduleFileName), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    // dladdr reports the name the loader was given, which may be relative; resolve it so the
    // folder stays right whatever the current directory becomes later.
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) {
        return resolved;
    }
    return info.dli_fname;
}

}  // namespace talkhub::platform
