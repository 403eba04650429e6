// talkhub-cli run to its end as a user runs it, commands on its standard input. The program
// is the build's own (TALKHUB_CLI_PATH).
#pragma once

#include <string>

#include "command_output.h"

inline command_output::Finished runCli(const std::string& arguments, const std::string& input = "",
                                       const std::string& environment = "") {
    // The test process's own speaker file stays its own: a program plays into the void
    // unless it names a file.
    std::string command = "SDL_AUDIODRIVER=dummy " + environment + " " TALKHUB_CLI_PATH " " + arguments + " 2>&1";
    if (!input.empty()) command = "printf '" + input + "' | " + command;
    return command_output::run(command);
}
