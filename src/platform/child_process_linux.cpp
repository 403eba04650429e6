#include "platform/child_process.h"

#include <boost/process.hpp>

namespace talkhub::platform {

std::string executableName(const std::string& stem) { return stem; }

ChildOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    namespace bp = boost::process;
    ChildOutcome outcome;
    try {
        bp::child child(bp::exe = program, bp::args = arguments, bp::std_in<bp::null, bp::std_out> bp::null,
                        bp::std_err > bp::null);
        outcome.started = true;
        child.wait(outcome.waitError);
        if (!outcome.waitError) outcome.exitCode = child.exit_code();
    } catch (const bp::process_error& error) {
        outcome.startError = error.what();
    }
    return outcome;
}

}  // namespace talkhub::platform
