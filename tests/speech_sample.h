// Real speech for codec tests and benchmarks: espeak-ng speaks a sentence, sox turns it
// into 16-bit mono PCM at 8000 Hz.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace speech_sample {

inline std::vector<int16_t> make(const std::string& text) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-speech-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string wave = (folder / "speech.wav").string();
    const std::string raw = (folder / "speech.raw").string();
    const std::string command = "espeak-ng -s 150 -w '" + wave + "' '" + text + "' && sox '" + wave +
                                "' -r 8000 -c 1 -b 16 -e signed-integer -t raw '" + raw + "'";
    std::vector<int16_t> samples;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(raw, std::ios::binary);
        in.seekg(0, std::ios::end);
        samples.resize(static_cast<std::size_t>(in.tellg()) / 2);
        in.seekg(0);
        in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    }
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

}  // namespace speech_sample
