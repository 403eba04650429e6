// A password typed at a terminal is not shown; one piped in is read as it comes.
#pragma once

#include <optional>
#include <string>

namespace talkhub_tools {

// One line from standard input (its line end removed); on a terminal, after the prompt
// "password for ACCOUNT: " on standard error, and without echo. Nothing when the input
// has ended.
std::optional<std::string> readPassword(const std::string& account);

}  // namespace talkhub_tools
