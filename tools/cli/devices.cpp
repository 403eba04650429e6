#include "devices.h"

#include <SDL.h>
#include <alsa/asoundlib.h>

namespace talkhub_cli {

namespace {

void listAlsa(std::ostream& out) {
    out << "ALSA sound cards:\n";
    int card = -1;
    int cards = 0;
    while (snd_card_next(&card) == 0 && card >= 0) {
        char* name = nullptr;
        char* longName = nullptr;
        snd_card_get_name(card, &name);
        snd_card_get_longname(card, &longName);
        out << "  card " << card << ": " << (name != nullptr ? name : "?") << " ("
            << (longName != nullptr ? longName : "") << ")\n";
        std::free(name);
        std::free(longName);
        ++cards;
    }
    if (cards == 0) out << "  none\n";

    out << "ALSA PCM devices (the microphone is \"default\"):\n";
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) != 0) {
        out << "  cannot list\n";
        return;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* direction = snd_device_name_get_hint(*hint, "IOID");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        std::string text = description != nullptr ? description : "";
        for (char& c : text) c = c == '\n' ? ' ' : c;
        out << "  " << (name != nullptr ? name : "?") << " [" << (direction != nullptr ? direction : "Input and Output")
            << "] " << text << "\n";
        std::free(name);
        std::free(direction);
        std::free(description);
    }
    snd_device_name_free_hint(hints);
}

void listSdl(std::ostream& out) {
    out << "SDL audio drivers (SDL_AUDIODRIVER chooses one):";
    for (int i = 0; i < SDL_GetNumAudioDrivers(); ++i) out << " " << SDL_GetAudioDriver(i);
    out << "\n";
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        out << "SDL audio does not start: " << SDL_GetError() << "\n";
        return;
    }
    out << "SDL uses the driver \"" << SDL_GetCurrentAudioDriver() << "\"; its outputs (the speaker is the default):\n";
    const int outputs = SDL_GetNumAudioDevices(0);
    if (outputs <= 0) out << "  none listed\n";
    for (int i = 0; i < outputs; ++i) out << "  " << SDL_GetAudioDeviceName(i, 0) << "\n";
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

}  // namespace

void listDevices(std::ostream& out) {
    listAlsa(out);
    listSdl(out);
}

std::string speakerProblem() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return SDL_GetError();
    SDL_AudioSpec wanted{};
    wanted.freq = 8000;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = 1;
    wanted.samples = 1024;
    wanted.callback = [](void*, Uint8* stream, int length) { SDL_memset(stream, 0, static_cast<std::size_t>(length)); };
    std::string problem;
    if (SDL_OpenAudio(&wanted, nullptr) != 0) {
        problem = SDL_GetError();
    } else {
        SDL_CloseAudio();
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return problem;
}

}  // namespace talkhub_cli
