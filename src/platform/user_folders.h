// Folders of the user the host runs as, for what the library writes when its own folder
// cannot be written (an installed library is the system's, not the user's).
#pragma once

#include <string>

namespace talkhub::platform {

// The user's own folder for TalkHub's state (UTF-8): $XDG_STATE_HOME/talkhub, else
// ~/.local/state/talkhub; %LOCALAPPDATA%\TalkHub on Windows. Empty when the system names
// no such place (no home folder).
std::string userStateFolder();

}  // namespace talkhub::platform
