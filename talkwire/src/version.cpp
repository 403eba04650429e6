#include <opus/opus.h>

#include <cstdio>

#include "messages.h"

extern "C" {

int proto_init(void) { return TW_OK; }

int ptt_init(char* version) {
    if (version == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    std::snprintf(version, TW_VERSION_TEXT_SIZE, "talkwire 1.0 protocol %u %s",
                  static_cast<unsigned>(talkwire::kProtocolVersion), opus_get_version_string());
    return TW_OK;
}

}  // extern "C"
