// Which datagram counters of one direction have been taken: the highest seen and a bitmap of
// the kWidth counters below it, kept as in RFC 6479 (a ring of 64-bit blocks, one block more
// than the width needs, so that moving the window on clears whole blocks and never shifts
// bits). A counter below the window, or one taken already, is a replay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace talkwire {

class ReplayWindow {
public:
    // Counters this far below the highest one are still taken when first seen: voice that
    // arrives out of order by far more than the listener's reserve can hold.
    static constexpr uint64_t kWidth = 1024;

    // Whether `counter` would be taken; checked before the datagram is opened.
    bool fresh(uint64_t counter) const;
    // Marks `counter` taken, once its datagram opened; false if it was not fresh.
    bool take(uint64_t counter);

private:
    static constexpr std::size_t kBlockBits = 64;
    static constexpr std::size_t kBlocks = kWidth / kBlockBits + 1;

    std::array<uint64_t, kBlocks> blocks_{};
    uint64_t highest_ = 0;
    bool any_ = false;
};

}  // namespace talkwire
