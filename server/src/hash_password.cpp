#include "hash_password.h"

#include <talkwire.h>

#include <iostream>
#include <optional>
#include <stdexcept>

#include "config.h"
#include "login_exchange.h"
#include "password_prompt.h"

namespace talkhub_server {

int printKeyLine(const std::string& account) {
    const std::optional<std::string> password = talkhub_tools::readPassword(account);
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
