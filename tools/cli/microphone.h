// A file as the microphone: the samples, as 16-bit mono PCM at 8000 Hz, behind a private
// ALSA configuration whose "default" capture device reads them once and then gives
// silence; or no microphone, ALSA's null device. Set up in this process before the library
// opens any device. The library itself reads no configuration.
#pragma once

#include <string>

namespace talkhub_cli {

class FileMicrophone {
public:
    FileMicrophone() = default;
    ~FileMicrophone();
    FileMicrophone(const FileMicrophone&) = delete;
    FileMicrophone& operator=(const FileMicrophone&) = delete;

    // A WAV file (16-bit PCM, any rate and channel count) or raw 16-bit mono PCM at 8000 Hz.
    // Returns an error text, empty on success.
    std::string use(const std::string& path);
    // No microphone at all: ALSA's null device, silence at the pace of real time.
    std::string useNone();

private:
    // Makes the private folder; an error text, empty on success.
    std::string makeFolder();
    // Points ALSA at a configuration whose "default" is `definition`.
    std::string installDefault(const std::string& definition);

    std::string folder_;
};

}  // namespace talkhub_cli
