#include "hash_password.h"

#include <talkwire.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <stdexcept>

#include "config.h"
#include "login_exchange.h"

namespace talkhub_server {

namespace {

// One line from standard input; on a terminal, prompted and read without echo.
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

}  // namespace

int printKeyLine(const std::string& account) {
    const std::optional<std::string> password = readPassword(account);
    if (!password) {
        std::cerr << "talkhub-server: no password on standard input" << std::endl;
        return 1;
    }
    try {
        std::cout << "key = \"" << talkwire::login::recordText(deriveRecord(account, *password)) << "\"" << std::endl;
        return 0;
    } catch (const std::runtime_error& error) {
        std::cerr << "talkhub-server: " << error.what() << std::endl;
        return 1;
    }
}

}  // namespace talkhub_server
