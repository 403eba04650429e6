// The login as a key exchange: SPAKE2+ between a client that knows the account's password
// and a server that keeps only a verifier record of it, so that
// - what crosses the network lets nobody test password guesses offline;
// - a server that does not hold the account's record cannot complete the exchange;
// - the record alone does not log in (it lacks w1);
// - both sides end with the keys of the connection, one per direction of control and of
//   voice.
//
// The password's memory-hard work stays the Argon2id login key (derive_login_key); HKDF
// expands that key into SPAKE2+'s w0s || w1s. So a server that still holds an old "v2$" key
// can make the account's record from it (the key is a password equivalent: such a file logs
// in as its accounts until it is replaced by records).
//
// Texts: the client's share travels as the login request's password text, "v3$" and its
// point in hex; a server stores "v3$<w0 hex>$<L hex>".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "spake2plus.h"

namespace talkwire::login {

constexpr std::size_t kLoginKeyBytes = 32;
// "v3$", 130 hex digits.
constexpr std::size_t kShareTextLength = 3 + 2 * spake2plus::kShareBytes;
// "v3$", 64 hex digits, "$", 130 hex digits.
constexpr std::size_t kRecordTextLength = 3 + 2 * spake2plus::kScalarBytes + 1 + 2 * spake2plus::kShareBytes;

// w0 and w1 from an account's login key.
bool proverSecret(std::span<const uint8_t, kLoginKeyBytes> loginKey, spake2plus::ProverSecret& secret);

std::string recordText(const spake2plus::VerifierRecord& record);
// What a server reads from its accounts: a record's text, or an old login key's ("v2$" and
// 64 hex digits), turned into the record it stands for; `fromOldKey` says which it was.
bool readRecord(std::string_view text, spake2plus::VerifierRecord& record, bool* fromOldKey = nullptr);

// The keys of a logged-in connection, from the exchange's shared key: "up" is client to
// server.
struct SessionKeys {
    using Key = std::array<uint8_t, 32>;
    Key controlUp{};
    Key controlDown{};
    Key voiceUp{};
    Key voiceDown{};
    ~SessionKeys();
};

class ClientLogin {
public:
    ClientLogin(std::string_view account, const spake2plus::ProverSecret& secret);
    ClientLogin(const ClientLogin&) = delete;
    ClientLogin& operator=(const ClientLogin&) = delete;

    // The client's share as the login request's password text; nothing if it cannot be made.
    std::optional<std::string> start(const spake2plus::Scalar* fixedX = nullptr);
    // The server's share and confirmation from the login answer. True when the server proved
    // that it holds the account's record: then the client's confirmation to send and the
    // connection's keys. False for a wrong password as for a server without the record; the
    // client then sends no confirmation (it would tell such a server nothing, but there is
    // nothing to confirm).
    bool finish(const spake2plus::Share& shareV, const spake2plus::Confirmation& confirmV,
                spake2plus::Confirmation& confirmP, SessionKeys& keys);

private:
    std::string account_;
    spake2plus::Prover prover_;
};

class ServerLogin {
public:
    ServerLogin(std::string_view account, const spake2plus::VerifierRecord& record);
    ServerLogin(const ServerLogin&) = delete;
    ServerLogin& operator=(const ServerLogin&) = delete;

    // Answers the password text of a login request with the server's share and
    // confirmation; false for a text that is no share.
    bool respond(std::string_view passwordText, spake2plus::Share& shareV, spake2plus::Confirmation& confirmV,
                 const spake2plus::Scalar* fixedY = nullptr);
    // The client's confirmation: true (and the connection's keys) when the client knows the
    // password.
    bool finish(const spake2plus::Confirmation& confirmP, SessionKeys& keys);

private:
    std::string account_;
    spake2plus::Verifier verifier_;
};

}  // namespace talkwire::login
