// The one object that touches the sound hardware. Capture: two 20 ms buffers circulate
// between the wave-input device and this class, each filled buffer handed whole to the
// data handler on the device's callback thread. Playback: one PCM stream per speaker,
// filled by the media engine's play thread and mixed by the output device's callback,
// 128 ms at a time. Owned by the media engine.
#pragma once

#include <SDL.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "device/audio_stream.h"
#include "platform/wave_input.h"

class CAudioDevice {
public:
    using DataHandler = std::function<void(const unsigned char* data, unsigned int length)>;

    // 20 ms of 16-bit mono PCM at 8000 Hz.
    static constexpr unsigned int kCaptureBufferSize = 320;
    // A speaker's stream holds at most 2 s; a producer further ahead loses its oldest audio.
    static constexpr unsigned int kStreamLimitBytes = 2 * 16000;
    // What one output callback takes from each stream: 1024 samples, 128 ms.
    static constexpr unsigned int kPlayCallbackSamples = 1024;
    static constexpr unsigned int kPlayCallbackBytes = 2 * kPlayCallbackSamples;

    CAudioDevice() = default;
    ~CAudioDevice();
    CAudioDevice(const CAudioDevice&) = delete;
    CAudioDevice& operator=(const CAudioDevice&) = delete;

    // The capture format: 16-bit mono PCM at 8000 Hz.
    int recordFormat(WAVEFORMATEX& format);
    // Opens capture and starts it, replacing an earlier open. 0 on success, -2 for an empty
    // handler (nothing else is done), 0xC0000000 | code for a failing wave-input call.
    int openRecord(DataHandler handler);
    // Stops and closes capture; once it returns the handler is never called again.
    void closeRecord();

    // The playback format: 16-bit mono PCM at 8000 Hz, 1024 samples (128 ms) per callback.
    void playFormat(SDL_AudioSpec& spec);
    // Opens the default output and starts it, replacing an earlier open: 0, or the negative
    // result of the failing SDL call. Open and close come from one thread at a time.
    int openPlay();
    // Stops playback and shuts the audio library down; safe when nothing is open. The
    // streams keep their bytes for the next open.
    void closePlay();
    // Appends to the speaker's stream (made on first use); dropped while playback is closed.
    void writePlayData(unsigned int userId, const unsigned char* data, unsigned int length);
    // No more data follows for now: once short of a callback's worth, the stream's last
    // bytes are played and the stream goes.
    void finishPlayData(unsigned int userId);
    // The bytes the speaker's stream holds for the mixer (0 without a stream).
    unsigned int queuedPlayBytes(unsigned int userId);
    // The output device's callback: one mixing pass over the streams of `userdata`, a
    // CAudioDevice, into `out`.
    static void SDLCALL audioCallback(void* userdata, Uint8* out, int length);

private:
    struct CaptureBuffer {
        WAVEHDR header{};
        unsigned char* data = nullptr;
        unsigned int size = kCaptureBufferSize;
    };

    static void CALLBACK waveInCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                        DWORD_PTR param2);
    void onCaptured(WAVEHDR* header);
    static int failure(MMRESULT result);
    void mix(Uint8* out, int length);

    // The closer clears `recording` and then waits for `inCallback` to fall; the callback
    // raises `inCallback` before it tests `recording`. Both are sequentially consistent,
    // so once the closer has seen `inCallback` low, every later callback sees `recording`
    // low and returns without touching the buffers or the handler.
    std::atomic<bool> recording{false};
    std::atomic<bool> inCallback{false};
    HWAVEIN input = nullptr;
    CaptureBuffer first;
    CaptureBuffer second;
    DataHandler handler;

    // Read without the stream lock by the play thread; `closePlay` clears the flag before
    // it closes the device, so writes stop before the audio library shuts down.
    std::atomic<bool> playing{false};
    std::atomic<int> audioDeviceId{0};
    // This device initialised the audio library (touched by open and close only).
    bool audioStarted = false;
    std::map<unsigned int, std::shared_ptr<CAudioStream>> streams;
    // Held by every write and finish and by the whole mixing pass.
    std::recursive_mutex streamLock;
};
