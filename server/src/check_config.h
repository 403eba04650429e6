// `talkhub-server --check-config FILE`: reads a configuration as the server would, without
// starting one.
#pragma once

#include <string>

namespace talkhub_server {

// Prints what the file holds, or what is wrong with it; returns the exit code (0 good, 1 not).
int checkConfig(const std::string& path);

}  // namespace talkhub_server
