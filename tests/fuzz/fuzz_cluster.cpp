// Hostile messages on the cluster's subjects: whatever another party on the bus publishes
// is read with every length checked, and what parses is written back byte for byte, so the
// reader and the writer agree on the layout.
#include <cstdlib>
#include <vector>

#include "cluster/cluster_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> input(data, data + size);
    if (const auto event = talkhub_server::parseFloorEvent(data, size)) {
        if (talkhub_server::encodeFloorEvent(*event) != input) std::abort();
    }
    if (const auto message = talkhub_server::parseNodeMessage(data, size)) {
        if (talkhub_server::encodeNodeMessage(*message) != input) std::abort();
    }
    return 0;
}
