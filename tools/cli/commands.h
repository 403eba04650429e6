// The commands of the program, declared once for the command line and for the prompt.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace talkhub_cli {

// The arguments the commands parse into, and whether the last command succeeded.
struct CommandArguments {
    std::optional<double> seconds;
    double waitSeconds = 0;
    int threshold = 0;
    long long hangoverMs = 1500;
    unsigned int id = 0;
    int level = 0;
    std::string text;
    std::vector<std::string> words;
    bool ok = true;
    bool quit = false;
};

// Adds every command to `app`; running one calls `session` and sets `arguments.ok`.
// Without a session the commands are only parsed: a command line is checked before login.
void addCommands(CLI::App& app, Session* session, CommandArguments& arguments);

}  // namespace talkhub_cli
