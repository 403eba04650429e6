// Real speech for codec tests and benchmarks: espeak-ng speaks a sentence, sox turns it
// into 16-bit mono PCM at 8000 Hz.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace speech_sample {

// espeak-ng's own WAV (22050 Hz) of the text at `wave`; false when it could not be made.
inline bool writeWave(const std::string& wave, const std::string& text) {
    return std::system(("espeak-ng -s 150 -w '" + wave + "' '" + text + "'").c_str()) == 0;
}

// A file's bytes as 16-bit samples (a WAV's header comes along as its first 22); empty
// when it cannot be read.
inline std::vector<int16_t> readSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<int16_t> samples(static_cast<std::size_t>(in.tellg()) / 2);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    return samples;
}

inline std::vector<int16_t> make(const std::string& text) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-speech-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string wave = (folder / "speech.wav").string();
    const std::string raw = (folder / "speech.raw").string();
    const std::string convert = "sox '" + wave + "' -r 8000 -c 1 -b 16 -e signed-integer -t raw '" + raw + "'";
    std::vector<int16_t> samples;
    if (writeWave(wave, text) && std::system(convert.c_str()) == 0) samples = readSamples(raw);
    std::filesystem::remove_all(folder);
    return samples;
}

inline const char* kSentence =
    "The quick brown fox jumps over the lazy dog. Unit seven, report your position. "
    "All stations, this is control: the floor is free, go ahead.";

// Normalised correlation of a decoded signal against the original at the codec delay that
// fits best (searched up to maxLag samples).
inline double alignedCorrelation(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded,
                                 std::size_t maxLag = 400) {
    double best = -1;
    for (std::size_t lag = 0; lag <= maxLag && lag < decoded.size(); ++lag) {
        const std::size_t count = std::min(original.size(), decoded.size() - lag);
        double cross = 0, a = 0, b = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double x = original[i];
            const double y = decoded[i + lag];
            cross += x * y;
            a += x * x;
            b += y * y;
        }
        if (a > 0 && b > 0) {
            best = std::max(best, cross / std::sqrt(a * b));
        }
    }
    return best;
}

// Loudness per window (20 ms unless told): the shape a listener hears, which survives a
// codec whose samples do not match the original one for one.
inline std::vector<double> envelope(const std::vector<int16_t>& signal, std::size_t window = 160) {
    std::vector<double> out;
    for (std::size_t at = 0; at + window <= signal.size(); at += window) {
        double energy = 0;
        for (std::size_t i = at; i < at + window; ++i) energy += static_cast<double>(signal[i]) * signal[i];
        out.push_back(std::sqrt(energy / static_cast<double>(window)));
    }
    return out;
}

struct EnvelopeFit {
    double correlation = -1;
    std::size_t offset = 0;  // where in `longer` the piece fits best, in windows
};

// Pearson correlation of the loudness `piece` against the stretch of `longer` it fits best,
// searched over every offset at which at least `minimumOverlap` windows of the piece lie
// within `longer`.
inline EnvelopeFit bestEnvelopeFit(const std::vector<double>& longer, const std::vector<double>& piece,
                                   std::size_t minimumOverlap) {
    EnvelopeFit best;
    for (std::size_t offset = 0; offset + minimumOverlap <= longer.size(); ++offset) {
        const std::size_t count = std::min(piece.size(), longer.size() - offset);
        double meanA = 0, meanB = 0;
        for (std::size_t i = 0; i < count; ++i) {
            meanA += longer[offset + i];
            meanB += piece[i];
        }
        meanA /= static_cast<double>(count);
        meanB /= static_cast<double>(count);
        double cross = 0, varA = 0, varB = 0;
        for (std::size_t i = 0; i < count; ++i) {
            cross += (longer[offset + i] - meanA) * (piece[i] - meanB);
            varA += (longer[offset + i] - meanA) * (longer[offset + i] - meanA);
            varB += (piece[i] - meanB) * (piece[i] - meanB);
        }
        if (varA <= 0 || varB <= 0) continue;
        const double correlation = cross / std::sqrt(varA * varB);
        if (correlation > best.correlation) best = {correlation, offset};
    }
    return best;
}

// Near 1 when `heard` is a faithful piece of `original` (at least half of it overlapping).
inline double envelopeCorrelation(const std::vector<int16_t>& original, const std::vector<int16_t>& heard) {
    const std::vector<double> b = envelope(heard);
    if (b.size() < 10) return -1;
    return bestEnvelopeFit(envelope(original), b, b.size() / 2).correlation;
}

// Quiet room noise (a few units of amplitude), for silences that a detector can learn.
inline std::vector<int16_t> roomNoise(std::size_t samples, unsigned seed = 7) {
    std::vector<int16_t> out(samples);
    unsigned state = seed;
    for (int16_t& value : out) {
        state = state * 1103515245U + 12345U;
        value = static_cast<int16_t>(static_cast<int>((state >> 16) % 61) - 30);
    }
    return out;
}

}  // namespace speech_sample
