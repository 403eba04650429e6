#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/user_folders.h"

namespace talkhub::platform {

namespace {

// A relative or empty setting is to be ignored, as the XDG base directory rules say.
std::string absoluteSetting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : "";
}

std::string homeFolder() {
    if (std::string home = absoluteSetting("HOME"); !home.empty()) return home;
    // A service started without an environment still has an entry in the user database.
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/' ? entry->pw_dir : "";
}

}  // namespace

std::string userStateFolder() {
    if (std::string state = absoluteSetting("XDG_STATE_HOME"); !state.empty()) return state + "/talkhub";
    const std::string home = homeFolder();
    return home.empty() ? "" : home + "/.local/state/talkhub";
}

}  // namespace talkhub::platform
