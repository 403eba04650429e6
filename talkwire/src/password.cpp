// The login password digest: "v1$" and the hex of a salted, stretched SHA-256 of account
// and password. It keeps the plain password off the wire and out of server logs, but it is
// a password equivalent: anyone who captures it can replay it, and a captured digest can be
// attacked with a dictionary. Only a secure transport protects a real deployment.
#include <array>
#include <cstring>
#include <string_view>

#include "sha256.h"
#include "talkwire.h"

using talkwire::Sha256;

namespace {

constexpr std::string_view kPrefix = "v1$";
constexpr std::string_view kSalt{"talkhub-login-v1\0", 17};
constexpr int kRounds = 1024;
constexpr std::size_t kMaxPasswordLength = 255;
constexpr std::size_t kEncodedLength = kPrefix.size() + 2 * 32;

using Encoded = std::array<char, kEncodedLength + 1>;

bool encode(const char* user, const char* password, Encoded& out) {
    if (user == nullptr || password == nullptr) {
        return false;
    }
    const std::size_t userLength = strnlen(user, TW_MAX_ACCOUNT_LENGTH + 1);
    const std::size_t passwordLength = strnlen(password, kMaxPasswordLength + 1);
    if (userLength == 0 || userLength > TW_MAX_ACCOUNT_LENGTH || passwordLength > kMaxPasswordLength) {
        return false;
    }
    Sha256 first;
    first.update(kSalt.data(), kSalt.size());
    first.update(user, userLength);
    first.update("", 1);
    first.update(password, passwordLength);
    Sha256::Digest digest = first.finish();
    for (int round = 1; round < kRounds; ++round) {
        Sha256 next;
        next.update(digest.data(), digest.size());
        next.update(password, passwordLength);
        digest = next.finish();
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::memcpy(out.data(), kPrefix.data(), kPrefix.size());
    for (std::size_t i = 0; i < digest.size(); ++i) {
        out[kPrefix.size() + 2 * i] = kHex[digest[i] >> 4];
        out[kPrefix.size() + 2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    out[kEncodedLength] = '\0';
    return true;
}

}  // namespace

extern "C" {

int encode_login_passwd(const char* user, const char* password, char* out) {
    Encoded encoded{};
    if (out == nullptr || !encode(user, password, encoded)) {
        return TW_ERR_ARGUMENT;
    }
    std::memcpy(out, encoded.data(), encoded.size());
    return static_cast<int>(kEncodedLength);
}

int srv_verify_login_passwd(const char* user, const char* password, const char* encoded) {
    Encoded expected{};
    if (encoded == nullptr || !encode(user, password, expected) ||
        strnlen(encoded, kEncodedLength + 1) != kEncodedLength) {
        return 0;
    }
    // Compare every byte so the time taken does not tell how much matched.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < kEncodedLength; ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ encoded[i]);
    }
    return difference == 0 ? 1 : 0;
}

}  // extern "C"
