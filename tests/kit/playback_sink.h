// The process's speaker: SDL's disk driver, a real playback device paced like a sound card,
// writes everything the library plays (16-bit mono PCM at 8000 Hz, raw) into one file,
// which each open of playback starts afresh. Set up once, before any thread starts.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "speech_sample.h"

namespace playback_sink {

inline std::filesystem::path file() {
    return std::filesystem::temp_directory_path() / ("talkhub-speaker-" + std::to_string(::getpid()) + ".raw");
}

inline void install() {
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", file().c_str(), 1);
}

// A speaker that plays into the void (SDL's dummy driver, paced as well), for programs that
// do not listen to what they play.
inline void installDiscarding() { ::setenv("SDL_AUDIODRIVER", "dummy", 1); }

// What has been played since playback last opened.
inline std::vector<int16_t> played() { return speech_sample::readSamples(file().string()); }

inline void remove() {
    std::error_code ignored;
    std::filesystem::remove(file(), ignored);
}

}  // namespace playback_sink
