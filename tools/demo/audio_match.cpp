#include "audio_match.h"

#include <cmath>

namespace talkhub_demo {

namespace {

constexpr std::size_t kWindow = 80;  // 10 ms at 8000 Hz

std::vector<double> loudness(const std::vector<int16_t>& signal) {
    std::vector<double> out;
    for (std::size_t at = 0; at + kWindow <= signal.size(); at += kWindow) {
        double energy = 0;
        for (std::size_t i = at; i < at + kWindow; ++i) energy += static_cast<double>(signal[i]) * signal[i];
        out.push_back(std::sqrt(energy / kWindow));
    }
    return out;
}

}  // namespace

Match locate(const std::vector<int16_t>& utterance, const std::vector<int16_t>& heard) {
    const std::vector<double> a = loudness(utterance);
    const std::vector<double> b = loudness(heard);
    Match best;
    if (a.size() < 10 || b.size() < a.size()) return best;
    double meanA = 0;
    for (double value : a) meanA += value;
    meanA /= static_cast<double>(a.size());
    double varA = 0;
    for (double value : a) varA += (value - meanA) * (value - meanA);
    for (std::size_t offset = 0; offset + a.size() <= b.size(); ++offset) {
        double meanB = 0;
        for (std::size_t i = 0; i < a.size(); ++i) meanB += b[offset + i];
        meanB /= static_cast<double>(a.size());
        double cross = 0;
        double varB = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            cross += (a[i] - meanA) * (b[offset + i] - meanB);
            varB += (b[offset + i] - meanB) * (b[offset + i] - meanB);
        }
        if (varA <= 0 || varB <= 0) continue;
        const double correlation = cross / std::sqrt(varA * varB);
        if (correlation > best.correlation) best = {correlation, offset * kWindow};
    }
    return best;
}

}  // namespace talkhub_demo
