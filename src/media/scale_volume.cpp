#include "media/scale_volume.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

void scaleVolume(unsigned char* pcm, unsigned int size, float gain) {
    if (pcm == nullptr || gain < 0.0F || gain == 1.0F) return;
    for (unsigned int at = 0; at + 1 < size; at += 2) {
        int16_t sample = 0;
        std::memcpy(&sample, pcm + at, sizeof sample);
        const float scaled = std::clamp(static_cast<float>(sample) * gain, -32768.0F, 32767.0F);
        sample = static_cast<int16_t>(scaled);
        std::memcpy(pcm + at, &sample, sizeof sample);
    }
}
