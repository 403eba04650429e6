// Voice frames as carried in a datagram: each frame is one length byte (1..255) and that
// many bytes of Opus data, so a payload of several frames needs no other framing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "talkwire.h"

namespace talkwire {

inline constexpr std::size_t kMaxFrameDataSize = 255;
// A voice datagram's frames must fit, with the stream header, into a packet's payload.
inline constexpr std::size_t kMaxFramesSize = TW_AUDIO_PAYLOAD_SIZE - TW_STREAM_HEADER_SIZE;

// The number of frames in a well-formed chain, or -1 for an empty length byte or a frame
// that runs past the end.
inline int countFrames(const unsigned char* frames, std::size_t size) {
    int count = 0;
    std::size_t position = 0;
    while (position < size) {
        const std::size_t frameSize = frames[position];
        if (frameSize == 0 || frameSize > size - position - 1) {
            return -1;
        }
        position += 1 + frameSize;
        ++count;
    }
    return count;
}

// Called by ptt_clear_send: the encoders start again as a new talk begins.
void resetVoiceEncoders();

}  // namespace talkwire
