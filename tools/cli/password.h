// Where the account's password comes from. A password on the command line is seen by every
// user of the machine (in the process list), so the others come first in the help.
#pragma once

#include <optional>
#include <string>

namespace talkhub_cli {

struct PasswordSources {
    std::string given;  // -w
    std::string file;   // --password-file
};

// The first of: -w, the first line of --password-file, $TALKHUB_PASSWORD, a prompt
// without echo when standard input is a terminal, the account name (the demo's
// accounts). Nothing, after a line on standard error, when the file cannot be read.
std::optional<std::string> choosePassword(const PasswordSources& sources, const std::string& account);

}  // namespace talkhub_cli
