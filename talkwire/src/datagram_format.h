// Voice datagrams over UDP, plain (as they are before sealing and after opening):
//
//   0 magic 0xA5 | 1 version | 2 kind | 3 mode | 4 sequence (u16 LE) | 6 sender id (u32 LE)
//   10 frame count | 11 reserved (0) | 12 payload length (u16 LE) | 14 payload
//
// Voice carries 1 to 5 length-prefixed frames, end of talk and heartbeat nothing, the
// talk-start and talk-stop markers the marker id (u32 LE) and the 64-byte marker text.
// Building and reading here keep no state and know no connection: the library's datagram
// functions add both, the server and test peers use these as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "talkwire.h"

namespace talkwire::datagrams {

inline constexpr unsigned char kVersion = 1;
inline constexpr std::size_t kMarkerPayloadSize = 4 + TW_MARKER_TEXT_SIZE;

struct Header {
    unsigned kind = 0;
    unsigned mode = 0;
    uint16_t sequence = 0;
    uint32_t sender = 0;
    unsigned frameCount = 0;
    const unsigned char* payload = nullptr;
    std::size_t payloadSize = 0;
};

// Writes a whole datagram; its length, or TW_ERR_SPACE when it does not fit.
int write(unsigned char* buf, int cap, const Header& header);
// Reads and checks a datagram of any kind: the header, the payload length against the
// datagram, and the payload against what its kind carries.
int read(const void* datagram, int length, Header& header);
// Voice or end of talk, from a sender.
bool carriesTalk(const Header& header);

int heartbeat(unsigned char* buf, int cap, uint32_t userId);
int marker(const char* markerText, uint32_t markerId, uint32_t sender, bool start, unsigned char* buf, int cap);
// 1 to 5 frames as ptt_voice_audio_encode writes them.
int voice(const unsigned char* frames, int length, int count, unsigned char mode, uint32_t sender, uint16_t sequence,
          unsigned char* out, int cap);
// The sender of a voice or end-of-talk datagram, 0 for anything else.
uint32_t talkSender(const void* datagram, int length);
// Fills a zero-filled packet from a voice or end-of-talk datagram (as ptt_process_rx_udp).
int readTalk(const void* datagram, int length, _AUDIO_PACKET* packet);

}  // namespace talkwire::datagrams
