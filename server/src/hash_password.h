// `talkhub-server --hash-password ACCOUNT`: reads the password from standard input (without
// echo on a terminal) and prints the account's key line for the configuration.
#pragma once

#include <string>

namespace talkhub_server {

// Returns the program's exit code: 0 printed, 1 no password read or no key derived.
int printKeyLine(const std::string& account);

}  // namespace talkhub_server
