// One talkhub-cli as a child process: commands go to its standard input, one per line; a
// thread of the demo reads the JSON events it prints into the timeline. Its standard error
// goes to a file.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "timeline.h"

namespace talkhub_demo {

class CliChild {
public:
    CliChild(std::string name, Timeline& timeline, const std::string& program,
             const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
             const std::string& errorLog);
    // Ends the program as finish() does.
    ~CliChild();
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

    // Sends one command line; returns the moment it went out.
    Clock::time_point command(const std::string& line);
    // Sends "quit", closes its input and waits for it to exit (then kills it after 15 s);
    // its exit status, or -1.
    int finish();

private:
    void read(int fd);

    std::string name_;
    Timeline& timeline_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    int status_ = -1;
};

}  // namespace talkhub_demo
