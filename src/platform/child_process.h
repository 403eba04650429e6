// Running an outside program to its end: the system's process start, with the child's
// standard input, output and error on the null device (it shows nothing and reads nothing).
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace talkhub::platform {

struct ChildOutcome {
    bool started = false;
    std::string startError;     // why it could not start
    std::error_code waitError;  // the wait for its end failed
    int exitCode = -1;
};

// The file name of a program called `stem` on this system ("ffmpeg" or "ffmpeg.exe").
std::string executableName(const std::string& stem);

// Starts `program` (a path; no search) with `arguments`, each handed on as one argument,
// and waits for it to end.
ChildOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace talkhub::platform
