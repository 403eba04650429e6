// Login proofs. The client turns account and password into a login key with Argon2id,
// salted by the account, and proves it knows the key by a MAC over the account, the time
// and a fresh nonce: "v2$<unix time>$<nonce hex>$<mac hex>". The server stores only the key
// and checks only the MAC, so a login costs it a microsecond-sized HMAC whatever arrives;
// the memory-hard work is the client's, once per login, and an offline guesser's, once per
// guess. Time and nonce make each proof good once and briefly; refusing an old time or a
// nonce already seen is the server's part.
#include <sodium.h>

#include <array>
#include <charconv>
#include <cstring>
#include <ctime>
#include <string_view>

#include "hex_text.h"
#include "talkwire.h"

namespace {

constexpr std::string_view kVersion = "v2$";
// Domain of both the salt and the MAC, so that neither can be mistaken for anything else.
constexpr std::string_view kDomain{"talkhub-login-v2\0", 17};
constexpr std::size_t kMaxTimeDigits = 19;
// Argon2id at 19 MiB and 2 passes: about 35 ms on a 2-core build machine per login.
constexpr unsigned long long kPasses = 2;
constexpr std::size_t kMemoryBytes = 19 * 1024 * 1024;

using Key = std::array<unsigned char, TW_LOGIN_KEY_SIZE>;
using Mac = std::array<unsigned char, crypto_auth_hmacsha256_BYTES>;

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The account's length, or 0 when it is no account name.
std::size_t accountLength(const char* user) {
    if (user == nullptr) return 0;
    const std::size_t length = strnlen(user, TW_MAX_ACCOUNT_LENGTH + 1);
    return length > TW_MAX_ACCOUNT_LENGTH ? 0 : length;
}

// The MAC of a proof's text before its last '$', bound to the account.
Mac proofMac(std::string_view account, const unsigned char* key, std::string_view signedPart) {
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key, TW_LOGIN_KEY_SIZE);
    const auto add = [&](std::string_view bytes) {
        crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    add(kDomain);
    add(account);
    add(std::string_view("\0", 1));
    add(signedPart);
    Mac mac{};
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof state);
    return mac;
}

}  // namespace

extern "C" {

int derive_login_key(const char* user, const char* password, unsigned char* key) {
    const std::size_t userLength = accountLength(user);
    if (userLength == 0 || password == nullptr || key == nullptr) return TW_ERR_ARGUMENT;
    const std::size_t passwordLength = strnlen(password, TW_MAX_PASSWORD_LENGTH + 1);
    if (passwordLength > TW_MAX_PASSWORD_LENGTH) return TW_ERR_ARGUMENT;
    if (!sodiumReady()) return TW_ERR_CRYPTO;
    std::array<unsigned char, crypto_pwhash_SALTBYTES> salt{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, salt.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kDomain.data()), kDomain.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(user), userLength);
    crypto_generichash_final(&state, salt.data(), salt.size());
    if (crypto_pwhash(key, TW_LOGIN_KEY_SIZE, password, passwordLength, salt.data(), kPasses, kMemoryBytes,
                      crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return TW_ERR_MEMORY;
    }
    return TW_OK;
}

int encode_login_proof(const char* user, const unsigned char* key, int64_t unixTime, char* out) {
    const std::size_t userLength = accountLength(user);
    if (userLength == 0 || key == nullptr || out == nullptr || unixTime < 0) return TW_ERR_ARGUMENT;
    if (!sodiumReady()) return TW_ERR_CRYPTO;
    std::array<unsigned char, TW_LOGIN_NONCE_SIZE> nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    char* cursor = out;
    std::memcpy(cursor, kVersion.data(), kVersion.size());
    cursor += kVersion.size();
    cursor = std::to_chars(cursor, cursor + kMaxTimeDigits, unixTime).ptr;
    *cursor++ = '$';
    talkwire::writeHex(cursor, nonce);
    const Mac mac = proofMac({user, userLength}, key, {out, static_cast<std::size_t>(cursor - out)});
    *cursor++ = '$';
    talkwire::writeHex(cursor, mac);
    *cursor = '\0';
    return static_cast<int>(cursor - out);
}

int encode_login_passwd(const char* user, const char* password, char* out) {
    if (out == nullptr) return TW_ERR_ARGUMENT;
    Key key{};
    const int derived = derive_login_key(user, password, key.data());
    if (derived != TW_OK) return derived;
    const auto now = static_cast<int64_t>(std::time(nullptr));
    const int length = encode_login_proof(user, key.data(), now, out);
    sodium_memzero(key.data(), key.size());
    return length;
}

int srv_verify_login_proof(const char* user, const unsigned char* key, const char* encoded, tw_login_proof* record) {
    if (record != nullptr) *record = tw_login_proof{};
    const std::size_t userLength = accountLength(user);
    if (userLength == 0 || key == nullptr || encoded == nullptr || record == nullptr) return TW_ERR_ARGUMENT;
    if (!sodiumReady()) return TW_ERR_CRYPTO;
    const std::string_view text(encoded, strnlen(encoded, TW_ENCODED_PASSWORD_SIZE));
    if (text.substr(0, kVersion.size()) != kVersion) return TW_ERR_FORMAT;
    const std::size_t timeEnd = text.find('$', kVersion.size());
    const std::size_t macStart = text.rfind('$') + 1;
    if (timeEnd == std::string_view::npos || macStart != timeEnd + 1 + 2 * TW_LOGIN_NONCE_SIZE + 1) {
        return TW_ERR_FORMAT;
    }
    const std::string_view time = text.substr(kVersion.size(), timeEnd - kVersion.size());
    int64_t unixTime = 0;
    if (time.empty() || time.size() > kMaxTimeDigits || time.front() == '-' ||
        std::from_chars(time.data(), time.data() + time.size(), unixTime).ptr != time.data() + time.size()) {
        return TW_ERR_FORMAT;
    }
    std::array<unsigned char, TW_LOGIN_NONCE_SIZE> nonce{};
    Mac mac{};
    if (!talkwire::readHex(text.substr(timeEnd + 1, 2 * nonce.size()), nonce) ||
        !talkwire::readHex(text.substr(macStart), mac)) {
        return TW_ERR_FORMAT;
    }
    const Mac expected = proofMac({user, userLength}, key, text.substr(0, macStart - 1));
    if (sodium_memcmp(expected.data(), mac.data(), mac.size()) != 0) return 0;
    record->unixTime = unixTime;
    std::memcpy(record->nonce, nonce.data(), nonce.size());
    return 1;
}

int encode_login_key(const unsigned char* key, char* out) {
    if (key == nullptr || out == nullptr) return TW_ERR_ARGUMENT;
    std::memcpy(out, kVersion.data(), kVersion.size());
    char* cursor = out + kVersion.size();
    talkwire::writeHex(cursor, {key, TW_LOGIN_KEY_SIZE});
    *cursor = '\0';
    return static_cast<int>(cursor - out);
}

int srv_read_login_key(const char* text, unsigned char* key) {
    if (text == nullptr || key == nullptr) return TW_ERR_ARGUMENT;
    const std::string_view view(text, strnlen(text, TW_LOGIN_KEY_TEXT_SIZE));
    if (view.substr(0, kVersion.size()) != kVersion ||
        !talkwire::readHex(view.substr(kVersion.size()), {key, TW_LOGIN_KEY_SIZE})) {
        return TW_ERR_FORMAT;
    }
    return TW_OK;
}

}  // extern "C"
