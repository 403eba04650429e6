// SHA-256 (FIPS 180-4), used only for the login password digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace talkwire {

class Sha256 {
public:
    using Digest = std::array<unsigned char, 32>;

    void update(const void* data, std::size_t size);
    Digest finish();

private:
    void compress(const unsigned char* block);

    std::array<uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block_{};
    std::size_t blockFill_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace talkwire
