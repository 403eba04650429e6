// A NATS user nkey made at test time, as NATS's own tools would write it: an Ed25519 key
// pair, the seed as "SU…" and the public key as "U…", each a prefix, the key bytes and a
// CRC-16 (XMODEM) in unpadded base32.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test_kit {

struct UserNkey {
    std::string publicKey;
    std::string seed;
};

namespace nkey_detail {

inline uint16_t crc16(const std::vector<unsigned char>& bytes) {
    uint16_t crc = 0;
    for (unsigned char byte : bytes) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

// The bytes with their CRC (little-endian), in base32 without padding.
inline std::string encode(std::vector<unsigned char> bytes) {
    const uint16_t crc = crc16(bytes);
    bytes.push_back(static_cast<unsigned char>(crc & 0xff));
    bytes.push_back(static_cast<unsigned char>(crc >> 8));
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string text;
    uint32_t buffer = 0;
    int bits = 0;
    for (unsigned char byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            text += kAlphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) text += kAlphabet[(buffer << (5 - bits)) & 31];
    return text;
}

}  // namespace nkey_detail

inline UserNkey makeUserNkey() {
    constexpr unsigned char kSeedPrefix = 18 << 3;  // 'S'
    constexpr unsigned char kUserPrefix = 20 << 3;  // 'U'
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    if (sodium_init() < 0) return {};
    randombytes_buf(seed, sizeof seed);
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
    std::vector<unsigned char> seedBytes{static_cast<unsigned char>(kSeedPrefix | (kUserPrefix >> 5)),
                                         static_cast<unsigned char>((kUserPrefix & 31) << 3)};
    seedBytes.insert(seedBytes.end(), seed, seed + sizeof seed);
    std::vector<unsigned char> publicBytes{kUserPrefix};
    publicBytes.insert(publicBytes.end(), publicKey, publicKey + sizeof publicKey);
    UserNkey made{nkey_detail::encode(publicBytes), nkey_detail::encode(seedBytes)};
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(secretKey, sizeof secretKey);
    return made;
}

}  // namespace test_kit
