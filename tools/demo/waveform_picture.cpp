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
constexpr int kScaleHeight = 36;  // the scale of seconds under the rows
constexpr Rgb kAxis{200, 200, 200};
constexpr Rgb kTick{90, 90, 90};
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// One drawtext filter: `text` at (x, y), with the characters the filter gives a meaning to
// written as plain characters.
std::string textAt(const std::string& text, int x, int y, int size) {
    std::string escaped;
    for (const char c : text) {
        if (c == ':' || c == '\\' || c == '\'' || c == '%' || c == ',') escaped += '\\';
        escaped += c;
    }
    return "drawtext=fontfile=" + std::string(kFont) + ":text='" + escaped + "':x=" + std::to_string(x) +
           ":y=" + std::to_string(y) + ":fontsize=" + std::to_string(size) +
           ":fontcolor=black:box=1:boxcolor=white@0.7:boxborderw=3";
}

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
    const int rowsHeight = static_cast<int>(tracks.size()) * (kRowHeight + kGap) - kGap;
    const int height = rowsHeight + kScaleHeight;
    Canvas canvas(kWidth, height);
    const auto column = [&](std::chrono::steady_clock::time_point at) {
        return static_cast<int>(std::chrono::duration<double>(at - from).count() / seconds * kWidth);
    };
    for (const Span& span : spans) {
        for (int x = std::max(0, column(span.from)); x < std::min(kWidth, column(span.to)); ++x) {
            for (int y = 0; y < rowsHeight; ++y) canvas.set(x, y, span.shade);
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
    // The scale: a line, a tick every second, a longer one and the number every five.
    std::string words;
    for (int x = 0; x < kWidth; ++x) canvas.set(x, rowsHeight + 2, kTick);
    for (int second = 0; second <= static_cast<int>(seconds); ++second) {
        const int x = static_cast<int>(second / seconds * kWidth);
        const int length = second % 5 == 0 ? 12 : 6;
        for (int y = rowsHeight + 2; y < rowsHeight + 2 + length; ++y) canvas.set(x, y, kTick);
        if (second % 5 == 0) words += "," + textAt(std::to_string(second) + " s", x + 3, rowsHeight + 14, 16);
    }
    for (std::size_t row = 0; row < tracks.size(); ++row) {
        words += "," + textAt(tracks[row].label, 8, static_cast<int>(row) * (kRowHeight + kGap) + 6, 20);
    }
    const std::string raw = path + ".rgb";
    const std::string filters = path + ".filters";
    if (!canvas.save(raw)) return "cannot write " + raw;
    // The words go to ffmpeg in a file, so that no shell reads them.
    std::ofstream(filters) << words.substr(1);
    const std::string command = "ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(kWidth) + "x" +
                                std::to_string(height) + " -i '" + raw + "'";
    int status = std::system((command + " -filter_script:v '" + filters + "' '" + path + "' 2>/dev/null").c_str());
    if (status != 0) status = std::system((command + " '" + path + "'").c_str());
    std::error_code ignored;
    std::filesystem::remove(raw, ignored);
    std::filesystem::remove(filters, ignored);
    return status == 0 ? "" : "ffmpeg could not write " + path;
}

}  // namespace talkhub_demo
