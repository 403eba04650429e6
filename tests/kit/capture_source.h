// A private ALSA configuration whose "default" capture device reads a raw file (16-bit mono
// PCM at 8000 Hz) through ALSA's file plugin: what a process that loads the library hears
// from its "microphone". Set up once, before any thread starts; tests change what the
// microphone says, or take it away, by replacing files (never the environment), and ALSA
// reads the new state at the next open.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace capture_source {

inline std::filesystem::path folder() {
    return std::filesystem::temp_directory_path() / ("talkhub-microphone-" + std::to_string(::getpid()));
}

inline std::filesystem::path configFile() { return folder() / "asound.conf"; }

inline std::filesystem::path microphoneFile() { return folder() / "microphone.raw"; }

// Writes through a new file and a rename, so the file is replaced whole (a new inode is
// what tells ALSA that its configuration changed).
inline void replace(const std::filesystem::path& path, const void* data, std::size_t size) {
    const std::filesystem::path fresh = path.string() + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::filesystem::rename(fresh, path);
}

// An ALSA configuration whose "default" capture device reads raw PCM from `infile`.
inline std::string fileConfig(const std::filesystem::path& infile) {
    return "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n  infile \"" +
           infile.string() + "\"\n  format \"raw\"\n}\n";
}

inline void writeConfig(bool present) {
    const std::string text = present ? fileConfig(microphoneFile()) : "pcm.!default { type hw card 31 }\n";
    replace(configFile(), text.data(), text.size());
}

// The microphone says `samples` once from the next open on, then silence.
inline void speak(const std::vector<int16_t>& samples) {
    replace(microphoneFile(), samples.data(), samples.size() * sizeof(int16_t));
}

// Without a device, opening capture fails as on a machine without a microphone.
inline void setPresent(bool present) { writeConfig(present); }

// Points ALSA at the private configuration with a silent microphone. Call before any
// thread of the process starts.
inline void install() {
    std::filesystem::create_directories(folder());
    speak({});
    writeConfig(true);
    ::setenv("ALSA_CONFIG_PATH", configFile().c_str(), 1);
}

inline void remove() {
    std::error_code ignored;
    std::filesystem::remove_all(folder(), ignored);
}

}  // namespace capture_source
