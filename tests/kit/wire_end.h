// One end of a control connection as the tests, benchmarks and fuzz targets play it, client
// or server: the login's key exchange, then every message sealed and opened, and the voice
// datagrams of the connection, all with keys of its own. (talkwire's own framing and datagram
// functions keep the process's connection, which belongs to the library when it runs in the
// same process; an end here never touches it.)
#pragma once

#include <talkwire.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "login_exchange.h"
#include "protected_link.h"

namespace test_kit {

using Bytes = std::vector<unsigned char>;

class WireEnd {
public:
    WireEnd();
    ~WireEnd();
    WireEnd(const WireEnd&) = delete;
    WireEnd& operator=(const WireEnd&) = delete;

    // A message (command id, version, body) framed for the stream, sealed once the login is
    // done; empty for a negative length.
    Bytes frame(const unsigned char* message, int length);
    // The message a completed frame carries (`size` = its length field + 2), opened once the
    // login is done; nothing for a frame that does not decode or open (`unopened` counts
    // those). A server end finishes its login's exchange on the client's confirmation.
    std::optional<Bytes> read(unsigned char* frame, uint32_t size);

    // Client: the login request's password text for this account and password.
    std::string startLogin(const std::string& account, const std::string& password);
    // The same from what a client derives from the password (benchmarks make it up).
    std::string startLogin(const std::string& account, const talkwire::spake2plus::ProverSecret& secret);
    // Client: the server's accepting answer. True when it proved itself: then
    // `confirmation` is the message to send before anything else, and the end is protected.
    bool finishLogin(const tw_login_ack& answer, Bytes& confirmation);

    // Server: fills an accepting answer's share and confirmation for the login request
    // whose password text was `shareText`, the account's record made from `password`.
    bool answerLogin(const std::string& account, const std::string& password, const std::string& shareText,
                     tw_login_ack& answer);

    talkwire::ProtectedLink* link() const { return link_.get(); }

    // A plain datagram sealed for the peer (as it is before the login: plain).
    Bytes sealDatagram(const Bytes& plain);
    // The peer's datagram opened; nothing when it does not open.
    std::optional<Bytes> openDatagram(const Bytes& sealed);

    uint64_t unopened = 0;

private:
    std::string account_;
    std::unique_ptr<talkwire::login::ClientLogin> client_;
    std::unique_ptr<talkwire::login::ServerLogin> server_;
    uint32_t serverUser_ = 0;
    std::unique_ptr<talkwire::ProtectedLink> link_;
};

// What a client derives from an account's password, and the record a server keeps for it,
// each made once per process and pair: the login key's derivation takes tens of
// milliseconds.
const talkwire::spake2plus::ProverSecret& secretFor(const std::string& account, const std::string& password);
const talkwire::spake2plus::VerifierRecord& recordFor(const std::string& account, const std::string& password);

// A login answer as talkwire's builder wrote it, parsed without finishing any login.
int parseLoginAnswer(tw_login_ack& answer, const unsigned char* body, uint32_t length);

}  // namespace test_kit
