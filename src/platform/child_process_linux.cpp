#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/process.hpp>
#include <boost/process/extend.hpp>
#include <cstdlib>
#include <string_view>

#include "platform/child_process.h"

namespace talkhub::platform {
namespace {

// Runs in the child between fork and exec: every descriptor past the standard streams is
// closed at exec, so the program holds none of the host's or the library's sockets and files
// (whatever flags they were opened with). Marking, not closing, keeps the process library's
// own report of a failed exec working. Only calls that are safe after fork.
void closeAllButStandardStreamsAtExec() {
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Kernels before 5.11: mark each possible descriptor.
    rlimit limit{};
    const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? limit.rlim_cur
                            : static_cast<rlim_t>(65536);
    for (rlim_t descriptor = 3; descriptor < last; ++descriptor) {
        ::fcntl(static_cast<int>(descriptor), F_SETFD, FD_CLOEXEC);
    }
}

}  // namespace

std::string findProgram(const std::string& folder, const std::string& stem) {
    const std::string beside = folder + stem;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "";
    while (!folders.empty()) {
        const std::size_t end = std::min(folders.find(':'), folders.size());
        const std::string_view entry = folders.substr(0, end);
        folders.remove_prefix(std::min(end + 1, folders.size()));
        // A relative entry would name a program by the host's current folder: never taken.
        if (entry.empty() || entry.front() != '/') continue;
        const std::string candidate = std::string(entry) + "/" + stem;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return beside;
}

ChildOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    namespace bp = boost::process;
    ChildOutcome outcome;
    try {
        bp::child child(
            bp::exe = program, bp::args = arguments, bp::std_in<bp::null, bp::std_out> bp::null, bp::std_err > bp::null,
            bp::extend::on_exec_setup = [](auto&) { closeAllButStandardStreamsAtExec(); });
        outcome.started = true;
        child.wait(outcome.waitError);
        if (!outcome.waitError) outcome.exitCode = child.exit_code();
    } catch (const bp::process_error& error) {
        outcome.startError = error.what();
    }
    return outcome;
}

}  // namespace talkhub::platform
