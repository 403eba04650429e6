#include "check_config.h"

#include <iostream>

#include "config.h"

namespace talkhub_server {

int checkConfig(const std::string& path) {
    try {
        const ServerConfig config = loadConfig(path);
        std::cout << path << ": good: " << config.accounts.size() << " accounts, " << config.groups.size()
                  << " groups, " << config.redirects.size() << " redirects"
                  << (config.cluster ? ", node " + config.cluster->node + " of a cluster" : "") << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "talkhub-server: " << error.what() << std::endl;
        return 1;
    }
}

}  // namespace talkhub_server
