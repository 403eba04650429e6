// Finds a spoken utterance in what a speaker played: by loudness over 10 ms windows, which a
// voice codec keeps while it changes the samples themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talkhub_demo {

struct Match {
    double correlation = -1;  // Pearson correlation of the loudness where it fits best
    std::size_t offset = 0;   // where the utterance begins in what was heard, in samples
};

Match locate(const std::vector<int16_t>& utterance, const std::vector<int16_t>& heard);

}  // namespace talkhub_demo
