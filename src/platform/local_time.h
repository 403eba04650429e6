// The local calendar time of a moment, safe to call from any thread.
#pragma once

#include <ctime>

namespace talkhub::platform {

std::tm localTime(std::time_t moment);

}  // namespace talkhub::platform
