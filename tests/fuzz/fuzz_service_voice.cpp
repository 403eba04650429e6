// Hostile voice into a logged-in library: each input is a datagram as the voice socket
// delivers it, queued per speaker and decoded, played and mixed by the play thread while
// further inputs arrive.
#include "logged_in_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::LoggedInService& service = fuzz_support::LoggedInService::instance();
    service.ensureLoggedIn();
    const harbor::CTSocketAddress from("127.0.0.1", service.voicePort());
    service.talk().media()->onVoiceDataCallback(nullptr, static_cast<int>(size), data, from);
    return 0;
}
