#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "device/audio_device.h"
#include "outside/harbor.h"

namespace {

constexpr unsigned int kSampleRate = 8000;
constexpr auto kCallbackPoll = std::chrono::milliseconds(10);

}  // namespace

CAudioDevice::~CAudioDevice() {
    closeRecord();
    closePlay();
}

int CAudioDevice::recordFormat(WAVEFORMATEX& format) {
    format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kSampleRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<WORD>(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    format.cbSize = 0;
    return 0;
}

int CAudioDevice::failure(MMRESULT result) {
    return static_cast<int>(0xC0000000U | static_cast<unsigned int>(std::abs(static_cast<int>(result))));
}

int CAudioDevice::openRecord(DataHandler dataHandler) {
    constexpr const char* tag = "CAudioDevice::openRecord";
    if (!dataHandler) return -2;
    WAVEFORMATEX format{};
    closeRecord();
    handler = std::move(dataHandler);
    recording = true;
    recordFormat(format);
    MMRESULT result = waveInOpen(&input, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&waveInCallback),
                                 reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        recording = false;
        input = nullptr;
        harbor::logError(tag, "open wave input fail:[%d].", static_cast<int>(result));
        return failure(result);
    }
    for (CaptureBuffer* buffer : {&first, &second}) {
        buffer->data = static_cast<unsigned char*>(std::calloc(buffer->size, 1));
        buffer->header = {};
        buffer->header.lpData = reinterpret_cast<LPSTR>(buffer->data);
        buffer->header.dwBufferLength = buffer->data != nullptr ? buffer->size : 0;
        buffer->header.dwLoops = 1;
    }
    if (first.data == nullptr || second.data == nullptr) {
        // Without both buffers there is nothing to capture into; the device goes again.
        recording = false;
        waveInClose(input);
        input = nullptr;
        harbor::logError(tag, "capture buffers cannot be allocated:[%u].", first.size + second.size);
        return failure(MMSYSERR_NOMEM);
    }
    waveInPrepareHeader(input, &first.header, sizeof(WAVEHDR));
    waveInPrepareHeader(input, &second.header, sizeof(WAVEHDR));
    waveInAddBuffer(input, &first.header, sizeof(WAVEHDR));
    waveInAddBuffer(input, &second.header, sizeof(WAVEHDR));
    int value = 0;
    result = waveInStart(input);
    if (result != MMSYSERR_NOERROR) {
        recording = false;
        // Both buffers are queued: they come back first, or the device would not close.
        waveInReset(input);
        waveInClose(input);
        input = nullptr;
        harbor::logError(tag, "start wave audio record fail:[%d].", static_cast<int>(result));
        value = failure(result);
    }
    harbor::logInfo(tag, "open wave input finish.");
    return value;
}

void CALLBACK CAudioDevice::waveInCallback(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto* device = reinterpret_cast<CAudioDevice*>(instance);
    device->inCallback = true;
    if (device->recording && message == WIM_DATA) {
        device->onCaptured(reinterpret_cast<WAVEHDR*>(param1));
    }
    device->inCallback = false;
}

// Hands the whole buffer to the handler (its full length, whatever was recorded) and
// queues it again at once.
void CAudioDevice::onCaptured(WAVEHDR* header) {
    waveInUnprepareHeader(input, header, sizeof(WAVEHDR));
    const DataHandler current = handler;
    if (current) current(reinterpret_cast<const unsigned char*>(header->lpData), header->dwBufferLength);
    waveInPrepareHeader(input, header, sizeof(WAVEHDR));
    waveInAddBuffer(input, header, sizeof(WAVEHDR));
}

void CAudioDevice::closeRecord() {
    recording = false;
    const bool wasOpen = input != nullptr;
    if (wasOpen) {
        while (inCallback) std::this_thread::sleep_for(kCallbackPoll);
        waveInReset(input);
        waveInStop(input);
        waveInClose(input);
        input = nullptr;
    }
    for (CaptureBuffer* buffer : {&first, &second}) {
        std::free(buffer->data);
        buffer->data = nullptr;
    }
    // Closing what is already closed (each logout closes twice, every open first closes)
    // says nothing worth a line.
    if (wasOpen) harbor::logInfo("CAudioDevice::closeRecord", "close wave input finish.");
}
