// HKDF-SHA256 (RFC 5869) through OpenSSL: extract without salt, then expand `key` under the
// text `info` into `out`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talkwire {

// Starts OpenSSL's libcrypto once, without its exit handler and without reading the system's
// OpenSSL configuration: the process that holds talkwire (a host, the server) may still have
// threads in it when the process exits, and nothing here is to be configured from outside.
// False when it could not start.
bool cryptoReady();

bool hkdf(const uint8_t* key, std::size_t keySize, const char* info, uint8_t* out, std::size_t outSize);

}  // namespace talkwire
