#include "waveform_picture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace talkhub_demo {

namespace {

constexpr int kWidth = 1600;
constexpr int kRowHeight = 150;
constexpr int kGap = 12;
constexpr Rgb kAxis{200, 200, 200};

class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), pixels_(3U * width * height, 255) {}
    void set(int x, int y, Rgb color) {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
        const std::size_t at = 3U * (static_cast<std::size_t>(y) * width_ + x);
        pixels_[at] = color.r;
        pixels_[at + 1] = color.g;
        pixels_[at + 2] = color.b;
    }
    bool save(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(pixels_.data()), static_cast<std::streamsize>(pixels_.size()));
        return static_cast<bool>(out);
    }

private:
    int width_, height_;
    std::vector<uint8_t> pixels_;
};

}  // namespace

std::string writeWaveformPicture(const std::string& path, const std::vector<Track>& tracks,
                                 const std::vector<Span>& spans, std::chrono::steady_clock::time_point from,
                                 std::chrono::steady_clock::time_point to) {
    const double seconds = std::chrono::duration<double>(to - from).count();
    if (tracks.empty() || seconds <= 0) return "nothing to draw";
    const int height = static_cast<int>(tracks.size()) * (kRowHeight + kGap) - kGap;
    Canvas canvas(kWidth, height);
    const auto column = [&](std::chrono::steady_clock::time_point at) {
        return static_cast<int>(std::chrono::duration<double>(at - from).count() / seconds * kWidth);
    };
    for (const Span& span : spans) {
        for (int x = std::max(0, column(span.from)); x < std::min(kWidth, column(span.to)); ++x) {
            for (int y = 0; y < height; ++y) canvas.set(x, y, span.shade);
        }
    }
    const double samplesPerColumn = seconds * 8000 / kWidth;
    for (std::size_t row = 0; row < tracks.size(); ++row) {
        const Track& track = tracks[row];
        const int top = static_cast<int>(row) * (kRowHeight + kGap);
        const int middle = top + kRowHeight / 2;
        for (int x = 0; x < kWidth; ++x) canvas.set(x, middle, kAxis);
        const double offset = std::chrono::duration<double>(track.start - from).count() * 8000;
        for (int x = 0; x < kWidth; ++x) {
            const double first = x * samplesPerColumn - offset;
            const double last = first + samplesPerColumn;
            if (last < 0 || first >= static_cast<double>(track.samples.size())) continue;
            int16_t low = 0;
            int16_t high = 0;
            for (auto i = static_cast<std::size_t>(std::max(0.0, first));
                 i < std::min(track.samples.size(), static_cast<std::size_t>(std::max(0.0, last))); ++i) {
                low = std::min(low, track.samples[i]);
                high = std::max(high, track.samples[i]);
            }
            const int yHigh = middle - high * (kRowHeight / 2) / 32768;
            const int yLow = middle - low * (kRowHeight / 2) / 32768;
            for (int y = yHigh; y <= yLow; ++y) canvas.set(x, y, track.color);
        }
    }
    const std::string raw = path + ".rgb";
    if (!canvas.save(raw)) return "cannot write " + raw;
    const std::string command = "ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(kWidth) + "x" +
                                std::to_string(height) + " -i '" + raw + "' '" + path + "'";
    const int status = std::system(command.c_str());
    std::error_code ignored;
    std::filesystem::remove(raw, ignored);
    return status == 0 ? "" : "ffmpeg could not write " + path;
}

}  // namespace talkhub_demo
