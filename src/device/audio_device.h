// The one object that touches the sound hardware: microphone capture in two 20 ms buffers
// that circulate between the wave-input device and this class, each filled buffer handed
// whole to the data handler on the device's callback thread. Owned by the media engine.
#pragma once

#include <atomic>
#include <functional>

#include "platform/wave_input.h"

class CAudioDevice {
public:
    using DataHandler = std::function<void(const unsigned char* data, unsigned int length)>;

    // 20 ms of 16-bit mono PCM at 8000 Hz.
    static constexpr unsigned int kCaptureBufferSize = 320;

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
};
