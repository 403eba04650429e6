#include "platform/thread_name.h"

#include <pthread.h>

#include <string>

namespace talkhub::platform {

void nameThisThread(const char* name) {
    const std::string kept = std::string(name).substr(0, 15);
    pthread_setname_np(pthread_self(), kept.c_str());
}

}  // namespace talkhub::platform
