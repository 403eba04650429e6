#include "replay_window.h"

namespace talkwire {

bool ReplayWindow::fresh(uint64_t counter) const {
    if (!any_ || counter > highest_) return true;
    if (highest_ - counter >= kWidth) return false;
    const uint64_t block = (counter / kBlockBits) % kBlocks;
    return (blocks_[block] & (uint64_t{1} << (counter % kBlockBits))) == 0;
}

bool ReplayWindow::take(uint64_t counter) {
    if (!fresh(counter)) return false;
    if (!any_ || counter > highest_) {
        // The blocks the window moves onto are cleared (all of them at most): what they
        // held lies below the window now.
        if (any_) {
            const uint64_t from = highest_ / kBlockBits;
            const uint64_t to = counter / kBlockBits;
            for (uint64_t block = from + 1; block <= to && block - from <= kBlocks; ++block) {
                blocks_[block % kBlocks] = 0;
            }
        }
        highest_ = counter;
        any_ = true;
    }
    blocks_[(counter / kBlockBits) % kBlocks] |= uint64_t{1} << (counter % kBlockBits);
    return true;
}

}  // namespace talkwire
