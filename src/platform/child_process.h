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

// Where the program called `stem` is run from: `folder` (ending in a separator) holds it
// on Windows ("ffmpeg.exe" beside the DLL). On Linux `folder` comes first too, then each
// folder of PATH, since an installed library's folder holds no programs; when none has
// it, the name in `folder`, so that the failure names a place.
std::string findProgram(const std::string& folder, const std::string& stem);

// Starts `program` (a path; no search) with `arguments`, each handed on as one argument,
// and waits for it to end.
ChildOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace talkhub::platform
