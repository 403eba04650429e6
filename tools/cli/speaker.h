// A file as the speaker: the audio library's disk driver, a real playback device paced like
// a sound card, writes everything played into a raw file beside the target, which becomes
// a WAV (16-bit mono PCM at 8000 Hz) when the program ends. Set up in this process before
// the library opens any device.
#pragma once

#include <string>

namespace talkhub_cli {

class FileSpeaker {
public:
    FileSpeaker() = default;
    // Wraps what was played into the WAV file.
    ~FileSpeaker();
    FileSpeaker(const FileSpeaker&) = delete;
    FileSpeaker& operator=(const FileSpeaker&) = delete;

    // Returns an error text, empty on success.
    std::string use(const std::string& path);
    // No speaker at all: the audio library's dummy driver, which discards what is played
    // at a sound card's pace.
    static void useNone();

private:
    std::string target_;
    std::string raw_;
};

}  // namespace talkhub_cli
