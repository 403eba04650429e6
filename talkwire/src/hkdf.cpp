#include "hkdf.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <string>

namespace talkwire {

bool cryptoReady() {
    static const bool ready = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    return ready;
}

bool hkdf(const uint8_t* key, std::size_t keySize, const char* info, uint8_t* out, std::size_t outSize) {
    // Fetched once: a fetch looks the algorithm up among the providers, each time anew.
    static EVP_KDF* const kdf = cryptoReady() ? EVP_KDF_fetch(nullptr, "HKDF", nullptr) : nullptr;
    EVP_KDF_CTX* context = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    if (context == nullptr) return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(key), keySize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info),
                                          std::char_traits<char>::length(info)),
        OSSL_PARAM_construct_end(),
    };
    const bool done = EVP_KDF_derive(context, out, outSize, params) == 1;
    EVP_KDF_CTX_free(context);
    return done;
}

}  // namespace talkwire
