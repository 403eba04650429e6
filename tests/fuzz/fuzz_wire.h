// What the fuzz programs' own peers and members send with: talkwire messages framed for
// the stream, and loopback addresses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <talkwire.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "loopback_wire.h"

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

}  // namespace fuzz_support
