// A picture of several waveforms on one time axis, one labelled row each, with stretches of
// time shaded across all rows and a scale of seconds below; drawn as RGB pixels and written
// as PNG by ffmpeg, which also sets the words (without its text filter or the font, the
// picture comes without them).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace talkhub_demo {

struct Rgb {
    uint8_t r, g, b;
};

struct Track {
    std::vector<int16_t> samples;  // 8000 Hz
    std::chrono::steady_clock::time_point start;
    Rgb color;
    std::string label;  // letters, digits, spaces and plain punctuation
};

struct Span {
    std::chrono::steady_clock::time_point from, to;
    Rgb shade;
};

// Draws `tracks` from `from` to `to` into a PNG at `path`; "" when written, else the reason.
std::string writeWaveformPicture(const std::string& path, const std::vector<Track>& tracks,
                                 const std::vector<Span>& spans, std::chrono::steady_clock::time_point from,
                                 std::chrono::steady_clock::time_point to);

}  // namespace talkhub_demo
