// Hostile signalling into a logged-in library: each input is a chunk of the stream from the
// server, answers and events in any order, handled by the service as it handles what its
// connection delivers, with its threads running around it. Inputs that carry a login or
// logout answer are left out: each ends the session, and the new login it takes would slow
// the run a hundredfold (those answers in every state are the unit tests' part).
#include "logged_in_service.h"

namespace {

bool endsTheSession(const uint8_t* data, size_t size) {
    std::vector<unsigned char> buffer(10240);
    for (size_t i = 0; i < size; ++i) {
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(buffer.data(), static_cast<uint32_t>(buffer.size()), data[i], &frame);
        if (frame != nullptr && (frame[3] == TW_CMD_LOGIN_ACK || frame[3] == TW_CMD_LOGOUT_ACK)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (endsTheSession(data, size)) return -1;
    fuzz_support::LoggedInService& service = fuzz_support::LoggedInService::instance();
    service.ensureLoggedIn();
    service.receive(data, size);
    return 0;
}
