// A shell command run to its end, its standard output (and what it sends there of its
// error) read line by line as it comes.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <string>

namespace command_output {

struct Finished {
    int exitCode = -1;
    std::string output;
};

// `onLine` sees each line as it arrives. A Windows program's CR LF line ends arrive as LF.
inline Finished run(const std::string& command, const std::function<void(const std::string&)>& onLine = nullptr) {
    Finished result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (const std::size_t cr = text.find("\r\n"); cr != std::string::npos) text.erase(cr, 1);
        result.output += text;
        if (onLine) onLine(text);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace command_output
