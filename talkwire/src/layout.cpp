// The packet record is shared byte for byte with the voice engine.
#include <cstddef>

#include "talkwire.h"

static_assert(sizeof(_AUDIO_PACKET) == 1048);
static_assert(offsetof(_AUDIO_PACKET, sequence) == 0);
static_assert(offsetof(_AUDIO_PACKET, kind) == 12);
static_assert(offsetof(_AUDIO_PACKET, frameCount) == 16);
static_assert(offsetof(_AUDIO_PACKET, mode) == 20);
static_assert(offsetof(_AUDIO_PACKET, payload) == 21);
static_assert(offsetof(_AUDIO_PACKET, payloadLength) == 1044);
static_assert(sizeof(tw_meeting_member) == 68);
