// The account's login key: Argon2id of its password, salted by the account, the one
// memory-hard step of a login (tens of milliseconds for the client, and as much for an offline
// guesser per guess). The login's key exchange starts from it.
#include <sodium.h>

#include <array>
#include <cstring>
#include <string_view>

#include "client_connection.h"
#include "talkwire.h"

namespace {

// Domain of the salt, so that it can be mistaken for nothing else.
constexpr std::string_view kDomain{"talkhub-login-v2\0", 17};
// Argon2id at 19 MiB and 2 passes: about 35 ms on a 2-core build machine per login.
constexpr unsigned long long kPasses = 2;
constexpr std::size_t kMemoryBytes = 19 * 1024 * 1024;

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

int encode_login_passwd(const char* user, const char* password, char* out) {
    if (out == nullptr) return TW_ERR_ARGUMENT;
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    const int derived = derive_login_key(user, password, key.data());
    if (derived != TW_OK) return derived;
    const std::optional<std::string> share = talkwire::client::startLogin(user, key);
    sodium_memzero(key.data(), key.size());
    if (!share || share->size() >= TW_ENCODED_PASSWORD_SIZE) return TW_ERR_CRYPTO;
    std::memcpy(out, share->c_str(), share->size() + 1);
    return static_cast<int>(share->size());
}

}  // extern "C"
