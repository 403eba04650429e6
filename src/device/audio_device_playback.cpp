// The playback half: SDL's single legacy output device in callback mode, mixing one
// stream per speaker.
#include "device/audio_device.h"
#include "outside/harbor.h"

namespace {

constexpr int kPlayRate = 8000;
// SDL's legacy single-device calls address their device as 1.
constexpr int kLegacyDeviceId = 1;

}  // namespace

void CAudioDevice::playFormat(SDL_AudioSpec& spec) {
    spec.freq = kPlayRate;
    spec.format = AUDIO_S16LSB;
    spec.channels = 1;
    spec.silence = 0;
    spec.samples = static_cast<Uint16>(kPlayCallbackSamples);
    spec.callback = &CAudioDevice::audioCallback;
    spec.userdata = this;
}

int CAudioDevice::openPlay() {
    constexpr const char* tag = "CAudioDevice::openPlay";
    SDL_AudioSpec spec;
    SDL_zero(spec);
    closePlay();
    playing = true;
    playFormat(spec);
    // A library leaves the host's signals alone.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // Only the audio part of the library, counted: a host's own use of the rest (or of
    // audio) stays as the host left it.
    int result = SDL_InitSubSystem(SDL_INIT_AUDIO);
    audioStarted = result == 0;
    if (result < 0) {
        harbor::logError(tag, "init sdl audio fail:[%d] %s.", result, SDL_GetError());
        playing = false;
        return result;
    }
    result = SDL_OpenAudio(&spec, nullptr);
    if (result < 0) {
        harbor::logError(tag, "sdl open audio fail:[%d] %s.", result, SDL_GetError());
        playing = false;
        return result;
    }
    audioDeviceId = kLegacyDeviceId;
    SDL_PauseAudio(0);
    harbor::logInfo(tag, "open wave output succeed.");
    return 0;
}

// The audio library is process-wide: only a device that started its audio shuts that down,
// so one that never played (a capture-only device) leaves another's playback alone, and
// whatever else of it the host runs goes on.
void CAudioDevice::closePlay() {
    playing = false;
    if (const int id = audioDeviceId.exchange(0); id != 0) {
        SDL_ClearQueuedAudio(static_cast<SDL_AudioDeviceID>(id));
        // Waits for a running callback to return; none starts afterwards.
        SDL_CloseAudio();
    }
    if (audioStarted) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    audioStarted = false;
}

void CAudioDevice::writePlayData(unsigned int userId, const unsigned char* data, unsigned int length) {
    if (!playing || audioDeviceId == 0 || data == nullptr || length == 0) return;
    std::lock_guard lock(streamLock);
    std::shared_ptr<CAudioStream>& stream = streams[userId];
    if (!stream) stream = std::make_shared<CAudioStream>(kStreamLimitBytes);
    stream->write(data, length);
}

void CAudioDevice::finishPlayData(unsigned int userId) {
    std::lock_guard lock(streamLock);
    if (auto found = streams.find(userId); found != streams.end()) found->second->setFinish();
}

unsigned int CAudioDevice::queuedPlayBytes(unsigned int userId) {
    std::lock_guard lock(streamLock);
    const auto found = streams.find(userId);
    return found != streams.end() ? found->second->size() : 0;
}

void SDLCALL CAudioDevice::audioCallback(void* userdata, Uint8* out, int length) {
    if (length > 0) static_cast<CAudioDevice*>(userdata)->mix(out, length);
}

// Every stream with a whole callback's worth is mixed at full scale (the producer has
// applied the volume); a finished stream short of that gives what it has and goes; any
// other stream waits, silent, until it has enough.
void CAudioDevice::mix(Uint8* out, int length) {
    SDL_memset(out, 0, static_cast<std::size_t>(length));
    const auto wanted = static_cast<unsigned int>(length);
    std::lock_guard lock(streamLock);
    for (auto it = streams.begin(); it != streams.end();) {
        CAudioStream& stream = *it->second;
        if (stream.size() >= wanted) {
            SDL_MixAudio(out, stream.data(), wanted, SDL_MIX_MAXVOLUME);
            stream.consume(wanted);
            ++it;
        } else if (stream.isFinish()) {
            if (stream.size() > 0) SDL_MixAudio(out, stream.data(), stream.size(), SDL_MIX_MAXVOLUME);
            it = streams.erase(it);
        } else {
            ++it;
        }
    }
}
