// What the sound libraries see on this machine, and why a speaker does not open.
#pragma once

#include <ostream>
#include <string>

namespace talkhub_cli {

// Prints ALSA's sound cards and PCM devices (the microphone is ALSA's "default" capture
// device) and SDL's audio drivers and output devices (the speaker is SDL's default output).
void listDevices(std::ostream& out);

// Tries SDL's default output as the library opens it: "" when it opens, else SDL's reason.
std::string speakerProblem();

}  // namespace talkhub_cli
