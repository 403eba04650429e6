// Names the calling thread for the system's tools (top -H, debuggers, /proc), so that the
// library's threads can be told apart in a host process.
#pragma once

namespace talkhub::platform {

// At most 15 characters are kept.
void nameThisThread(const char* name);

}  // namespace talkhub::platform
