// Hostile voice into a logged-in library: each input is a datagram as the voice socket
// delivers it (with the first byte even, sealed by the server as a hostile server would
// seal it; odd, as it is, as anyone on the path could send it), queued per speaker and
// decoded, played and mixed by the play thread while further inputs arrive.
#include "logged_in_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::LoggedInService& service = fuzz_support::LoggedInService::instance();
    service.ensureLoggedIn();
    if (size == 0) return 0;
    const harbor::CTSocketAddress from("127.0.0.1", service.voicePort());
    const fuzz_support::Bytes datagram = (data[0] & 1) == 0
                                             ? service.sealedDatagram(fuzz_support::Bytes(data + 1, data + size))
                                             : fuzz_support::Bytes(data + 1, data + size);
    service.talk().media()->onVoiceDataCallback(nullptr, static_cast<int>(datagram.size()), datagram.data(), from);
    return 0;
}
