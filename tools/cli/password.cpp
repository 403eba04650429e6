#include "password.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "password_prompt.h"

namespace talkhub_cli {

std::optional<std::string> choosePassword(const PasswordSources& sources, const std::string& account) {
    if (!sources.given.empty()) {
        std::cerr << "talkhub-cli: warning: -w shows the password to every user of this machine; use "
                     "--password-file, TALKHUB_PASSWORD or the prompt"
                  << std::endl;
        return sources.given;
    }
    if (!sources.file.empty()) {
        std::ifstream file(sources.file);
        std::string line;
        if (!file || !std::getline(file, line)) {
            std::cerr << "talkhub-cli: --password-file: cannot read a line from " << sources.file << std::endl;
            return std::nullopt;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    if (const char* variable = std::getenv("TALKHUB_PASSWORD"); variable != nullptr && variable[0] != '\0') {
        return variable;
    }
    if (::isatty(STDIN_FILENO) == 1) {
        if (std::optional<std::string> typed = talkhub_tools::readPassword(account)) return typed;
    }
    return account;
}

}  // namespace talkhub_cli
