#include "platform/local_time.h"

namespace talkhub::platform {

std::tm localTime(std::time_t moment) {
    std::tm local{};
    localtime_r(&moment, &local);
    return local;
}

}  // namespace talkhub::platform
