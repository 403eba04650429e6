// What the fuzz programs' own peers and members send with: talkwire messages framed for
// the stream, loopback addresses, and the messages of an input sealed as a logged-in end
// sends them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <talkwire.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "framing.h"
#include "loopback_wire.h"
#include "wire_end.h"

namespace fuzz_support {

using Bytes = std::vector<unsigned char>;

using test_kit::loopback;

// A message built by talkwire, framed for the stream.
template <typename Build>
Bytes framed(Build build) {
    Bytes message(4096);
    const int length = build(message.data(), static_cast<int>(message.size()));
    return test_kit::frame(message.data(), std::max(length, 0));
}

// The messages framed in `data`, each sealed and framed again by `end`, so that what an
// input says reaches the parsers behind the seal; bytes between frames are dropped.
inline Bytes resealed(test_kit::WireEnd& end, const unsigned char* data, std::size_t size) {
    Bytes out;
    Bytes buffer(10240, 0);
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char* frame = nullptr;
        talkwire::framing::decode(buffer.data(), static_cast<uint32_t>(buffer.size()), data[i], &frame);
        std::span<unsigned char> message;
        if (frame == nullptr ||
            talkwire::framing::unframe(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2, message) !=
                TW_OK) {
            continue;
        }
        const Bytes sealed = end.frame(message.data(), static_cast<int>(message.size()));
        out.insert(out.end(), sealed.begin(), sealed.end());
    }
    return out;
}

}  // namespace fuzz_support
