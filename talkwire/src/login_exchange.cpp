#include "login_exchange.h"

#include <sodium.h>

#include "hex_text.h"
#include "hkdf.h"

namespace talkwire::login {

namespace {

constexpr std::string_view kShareVersion = "v3$";
constexpr std::string_view kOldKeyVersion = "v2$";
// Bound into every exchange's transcript, so that its messages serve nothing else.
constexpr std::string_view kContext = "talkhub-login-v3";

spake2plus::Identities identities(std::string_view account) {
    return {{reinterpret_cast<const uint8_t*>(kContext.data()), kContext.size()},
            {reinterpret_cast<const uint8_t*>(account.data()), account.size()},
            {}};
}

void appendHex(std::string& out, std::span<const uint8_t> bytes) {
    const std::size_t at = out.size();
    out.resize(at + 2 * bytes.size() + 1);
    char* cursor = out.data() + at;
    writeHex(cursor, bytes);
    out.pop_back();
}

// The connection's keys, each its own HKDF expansion of the exchange's shared key.
bool sessionKeys(const spake2plus::Key& shared, SessionKeys& keys) {
    const std::pair<SessionKeys::Key*, const char*> directions[] = {
        {&keys.controlUp, "talkhub control client to server"},
        {&keys.controlDown, "talkhub control server to client"},
        {&keys.voiceUp, "talkhub voice client to server"},
        {&keys.voiceDown, "talkhub voice server to client"},
    };
    for (const auto& [key, label] : directions) {
        if (!hkdf(shared.data(), shared.size(), label, key->data(), key->size())) return false;
    }
    return true;
}

// Wipes the shared key once the connection's keys are made from it.
struct SharedKey {
    spake2plus::Key bytes{};
    ~SharedKey() { sodium_memzero(bytes.data(), bytes.size()); }
};

}  // namespace

bool proverSecret(std::span<const uint8_t, kLoginKeyBytes> loginKey, spake2plus::ProverSecret& secret) {
    std::array<uint8_t, spake2plus::kHashOutputBytes> expanded{};
    const bool made =
        hkdf(loginKey.data(), loginKey.size(), "talkhub-login-v3 w0s w1s", expanded.data(), expanded.size()) &&
        spake2plus::proverSecret(expanded, secret);
    sodium_memzero(expanded.data(), expanded.size());
    return made;
}

std::string recordText(const spake2plus::VerifierRecord& record) {
    std::string text(kShareVersion);
    appendHex(text, record.w0);
    text += '$';
    appendHex(text, record.L);
    return text;
}

bool readRecord(std::string_view text, spake2plus::VerifierRecord& record, bool* fromOldKey) {
    if (fromOldKey != nullptr) *fromOldKey = false;
    if (text.substr(0, kOldKeyVersion.size()) == kOldKeyVersion) {
        std::array<uint8_t, kLoginKeyBytes> key{};
        spake2plus::ProverSecret secret;
        const bool made = readHex(text.substr(kOldKeyVersion.size()), key) && proverSecret(key, secret) &&
                          spake2plus::verifierRecord(secret, record);
        sodium_memzero(key.data(), key.size());
        if (fromOldKey != nullptr) *fromOldKey = made;
        return made;
    }
    if (text.size() != kRecordTextLength || text.substr(0, kShareVersion.size()) != kShareVersion) return false;
    const std::string_view w0 = text.substr(kShareVersion.size(), 2 * spake2plus::kScalarBytes);
    const std::string_view rest = text.substr(kShareVersion.size() + w0.size());
    return rest.front() == '$' && readHex(w0, record.w0) && readHex(rest.substr(1), record.L) &&
           spake2plus::completeRecord(record);
}

SessionKeys::~SessionKeys() {
    for (Key* key : {&controlUp, &controlDown, &voiceUp, &voiceDown}) sodium_memzero(key->data(), key->size());
}

ClientLogin::ClientLogin(std::string_view account, const spake2plus::ProverSecret& secret)
    : account_(account), prover_(identities(account_), secret) {}

std::optional<std::string> ClientLogin::start(const spake2plus::Scalar* fixedX) {
    spake2plus::Share share{};
    if (!prover_.start(share, fixedX)) return std::nullopt;
    std::string text(kShareVersion);
    appendHex(text, share);
    return text;
}

bool ClientLogin::finish(const spake2plus::Share& shareV, const spake2plus::Confirmation& confirmV,
                         spake2plus::Confirmation& confirmP, SessionKeys& keys) {
    SharedKey shared;
    return prover_.finish(shareV, confirmV, confirmP, shared.bytes) && sessionKeys(shared.bytes, keys);
}

ServerLogin::ServerLogin(std::string_view account, const spake2plus::VerifierRecord& record)
    : account_(account), verifier_(identities(account_), record) {}

bool ServerLogin::respond(std::string_view passwordText, spake2plus::Share& shareV, spake2plus::Confirmation& confirmV,
                          const spake2plus::Scalar* fixedY) {
    spake2plus::Share shareP{};
    return passwordText.size() == kShareTextLength && passwordText.substr(0, kShareVersion.size()) == kShareVersion &&
           readHex(passwordText.substr(kShareVersion.size()), shareP) &&
           verifier_.respond(shareP, shareV, confirmV, fixedY);
}

bool ServerLogin::finish(const spake2plus::Confirmation& confirmP, SessionKeys& keys) {
    SharedKey shared;
    return verifier_.finish(confirmP, shared.bytes) && sessionKeys(shared.bytes, keys);
}

}  // namespace talkwire::login
