// HKDF-SHA256 (RFC 5869) through OpenSSL: extract without salt, then expand `key` under the
// text `info` into `out`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talkwire {

bool hkdf(const uint8_t* key, std::size_t keySize, const char* info, uint8_t* out, std::size_t outSize);

}  // namespace talkwire
