#include "speaker.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

namespace talkhub_cli {

namespace {

constexpr uint32_t kRate = 8000;

void putLittle(std::ofstream& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFFU));
}

void writeWave(const std::string& path, const std::vector<char>& pcm) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto size = static_cast<uint32_t>(pcm.size());
    out.write("RIFF", 4);
    putLittle(out, 36 + size, 4);
    out.write("WAVEfmt ", 8);
    putLittle(out, 16, 4);
    putLittle(out, 1, 2);  // PCM
    putLittle(out, 1, 2);  // mono
    putLittle(out, kRate, 4);
    putLittle(out, kRate * 2, 4);
    putLittle(out, 2, 2);
    putLittle(out, 16, 2);
    out.write("data", 4);
    putLittle(out, size, 4);
    out.write(pcm.data(), static_cast<std::streamsize>(pcm.size()));
    if (!out) std::cerr << "talkhub-cli: --speaker-file: cannot write " << path << std::endl;
}

}  // namespace

std::string FileSpeaker::use(const std::string& path) {
    {
        std::ofstream probe(path, std::ios::binary | std::ios::trunc);
        if (!probe) return "cannot write " + path;
    }
    target_ = path;
    raw_ = path + ".raw";
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", raw_.c_str(), 1);
    return "";
}

void FileSpeaker::useNone() { ::setenv("SDL_AUDIODRIVER", "dummy", 1); }

FileSpeaker::~FileSpeaker() {
    if (target_.empty()) return;
    std::vector<char> pcm;
    {
        std::ifstream in(raw_, std::ios::binary);
        pcm.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    pcm.resize(pcm.size() & ~std::size_t{1});
    writeWave(target_, pcm);
    std::error_code ignored;
    std::filesystem::remove(raw_, ignored);
}

}  // namespace talkhub_cli
