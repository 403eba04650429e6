#include "microphone.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace talkhub_cli {

namespace {

constexpr unsigned int kRate = 8000;
constexpr int kQuality = 5;

struct PcmLayout {
    unsigned int rate = 8000;
    unsigned int channels = 1;
    std::streamoff offset = 0;  // where the samples begin
    std::streamoff size = -1;   // bytes of samples, -1: to the end
};

uint32_t little32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint16_t little16(const unsigned char* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// Reads the chunks of a RIFF/WAVE file for its format and its samples.
std::string readWave(std::ifstream& in, PcmLayout& layout) {
    unsigned char header[12];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return "not a WAV file";
    }
    bool haveFormat = false;
    unsigned char chunk[8];
    while (in.read(reinterpret_cast<char*>(chunk), sizeof chunk)) {
        const uint32_t size = little32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char format[16];
            if (size < sizeof format || !in.read(reinterpret_cast<char*>(format), sizeof format)) {
                return "a WAV format chunk too short";
            }
            if (little16(format) != 1 || little16(format + 14) != 16) return "not 16-bit PCM";
            layout.channels = little16(format + 2);
            layout.rate = little32(format + 4);
            if (layout.channels == 0 || layout.rate == 0) return "a WAV format without channels or rate";
            haveFormat = true;
            in.seekg(static_cast<std::streamoff>(size - sizeof format + (size & 1)), std::ios::cur);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return "WAV samples before their format";
            layout.offset = in.tellg();
            layout.size = size;
            return "";
        } else {
            in.seekg(static_cast<std::streamoff>(size + (size & 1)), std::ios::cur);
        }
    }
    return "a WAV file without samples";
}

// Writes the samples as 16-bit mono PCM at 8000 Hz: channels averaged, the rate converted
// with the speex resampler. ALSA's file plugin then reads them as they are.
std::string convert(std::ifstream& in, const PcmLayout& layout, std::ofstream& out) {
    int error = 0;
    SpeexResamplerState* resampler =
        layout.rate == kRate ? nullptr : speex_resampler_init(1, layout.rate, kRate, kQuality, &error);
    if (layout.rate != kRate && resampler == nullptr)
        return "cannot convert from " + std::to_string(layout.rate) + " Hz";
    const std::size_t frameBytes = 2U * layout.channels;
    std::vector<char> bytes(frameBytes * 4096);
    std::vector<int16_t> mono(4096);
    std::vector<int16_t> converted(4096 * kRate / layout.rate + 64);
    std::streamoff left = layout.size;
    while (left != 0 && in) {
        const auto want = static_cast<std::streamoff>(bytes.size());
        in.read(bytes.data(), left < 0 ? want : std::min(left, want));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        if (left > 0) left -= got;
        const std::size_t frames = static_cast<std::size_t>(got) / frameBytes;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            int sum = 0;
            for (unsigned int channel = 0; channel < layout.channels; ++channel) {
                sum += static_cast<int16_t>(
                    little16(reinterpret_cast<const unsigned char*>(bytes.data()) + frame * frameBytes + 2U * channel));
            }
            mono[frame] = static_cast<int16_t>(sum / static_cast<int>(layout.channels));
        }
        spx_uint32_t consumed = static_cast<spx_uint32_t>(frames);
        spx_uint32_t produced = static_cast<spx_uint32_t>(converted.size());
        if (resampler != nullptr) {
            speex_resampler_process_int(resampler, 0, mono.data(), &consumed, converted.data(), &produced);
        } else {
            std::copy(mono.begin(), mono.begin() + static_cast<std::ptrdiff_t>(frames), converted.begin());
            produced = consumed;
        }
        out.write(reinterpret_cast<const char*>(converted.data()), static_cast<std::streamsize>(produced) * 2);
    }
    if (resampler != nullptr) speex_resampler_destroy(resampler);
    return "";
}

}  // namespace

FileMicrophone::~FileMicrophone() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string FileMicrophone::use(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path;
    PcmLayout layout;
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension == ".wav" || extension == ".WAV") {
        const std::string error = readWave(in, layout);
        if (!error.empty()) return path + ": " + error;
    }
    if (std::string error = makeFolder(); !error.empty()) return error;
    const std::string samples = folder_ + "/microphone.raw";
    std::ofstream out(samples, std::ios::binary);
    in.clear();
    in.seekg(layout.offset);
    const std::string error = convert(in, layout, out);
    if (!error.empty()) return path + ": " + error;
    out.close();
    if (!out) return "cannot write " + folder_;
    return installDefault("type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n  infile \"" + samples +
                          "\"\n  format \"raw\"");
}

std::string FileMicrophone::useNone() {
    if (std::string error = makeFolder(); !error.empty()) return error;
    return installDefault("type null");
}

std::string FileMicrophone::makeFolder() {
    char pattern[] = "/tmp/talkhub-cli-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return "cannot make a temporary folder";
    folder_ = pattern;
    return "";
}

std::string FileMicrophone::installDefault(const std::string& definition) {
    const std::string config = folder_ + "/asound.conf";
    std::ofstream text(config);
    text << "pcm.!default {\n  " << definition << "\n}\n";
    text.close();
    if (!text) return "cannot write " + config;
    ::setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    return "";
}

}  // namespace talkhub_cli
