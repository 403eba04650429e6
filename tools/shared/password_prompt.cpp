#include "password_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace talkhub_tools {

std::optional<std::string> readPassword(const std::string& account) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "password for " << account << ": " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << std::endl;
    }
    if (!read) return std::nullopt;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace talkhub_tools
