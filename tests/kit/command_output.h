// A shell command run to its end, its standard output (and what it sends there of its
// error) read line by line as it comes.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
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

// Runs one disabled test of this very program (named "Suite.DISABLED_Name") in namespaces
// of its own: `unshare --map-root-user` with `namespaces` ("--net", "--mount"), with the
// variables `environment` ("NAME='value' ...") and after the shell commands `setup` (each
// ending in "&& ", run as root of the namespace).
inline Finished runDisabledTestInNamespaces(const std::string& namespaces, const std::string& test,
                                            const std::string& environment = "", const std::string& setup = "") {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return run(environment + " unshare --map-root-user " + namespaces + " sh -c '" + setup + "exec " + self +
               " --gtest_also_run_disabled_tests --gtest_filter=" + test + "' 2>&1");
}

}  // namespace command_output
