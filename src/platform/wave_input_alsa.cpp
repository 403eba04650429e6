// The wave-input calls over ALSA.
//
// Each open device has one capture thread, started by waveInOpen and joined by
// waveInClose. Only that thread touches the ALSA handle between the two, and only it calls
// the callback with WIM_DATA: for filled buffers, and for the buffers that waveInStop and
// waveInReset hand back (the caller of those waits until the capture thread has done so).
// The device lock guards the buffer queue and the requests; it is never held while the
// callback runs or while ALSA is read, so the callback may queue its buffer again at once.
//
// A source without a clock of its own (ALSA's file and null plugins) returns data as fast as
// it is read; such a device is paced to its sample rate, so the caller always sees a
// microphone's timing. Every other source (a sound card, a sound server's plugin) sets the
// pace itself and is read as it delivers.
//
// A device that fails for good (a headset unplugged, the sound server behind "default"
// gone) is closed and opened again once a second until it works; the episode is logged
// once when it begins and once when capture resumes, and the thread sleeps in between.
#include "platform/wave_input.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "outside/harbor.h"
#include "platform/thread_name.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDeviceName = "default";
// ALSA's buffer; its period (a quarter) is the 20 ms that a capture block lasts.
constexpr unsigned int kLatencyMicroseconds = 80000;
// How long one ALSA wait may block before the thread looks at its requests again.
constexpr int kPollMilliseconds = 20;
// A paced source that fell this far behind (a stalled callback) restarts its clock instead
// of delivering the missed time in a burst.
constexpr auto kPacingSlack = std::chrono::milliseconds(200);
// How often a device that failed for good is opened again.
constexpr auto kReopenInterval = std::chrono::seconds(1);

MMRESULT resultFromAlsa(int error) {
    switch (-error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return MMSYSERR_BADDEVICEID;
        case EBUSY:
        case EAGAIN:
            return MMSYSERR_ALLOCATED;
        case ENOMEM:
            return MMSYSERR_NOMEM;
        case EINVAL:
            return WAVERR_BADFORMAT;
        case ENOSYS:
        case EOPNOTSUPP:
            return MMSYSERR_NODRIVER;
        default:
            return MMSYSERR_ERROR;
    }
}

// Keeps a fast source at real time: the sample after `delivered` is due at start + its
// time at the device rate.
class Pacer {
public:
    explicit Pacer(unsigned int rate) : rate_(rate) {}

    void restart() {
        start_ = Clock::now();
        delivered_ = 0;
    }

    // When the next `frames` may be handed on; restarts the clock first when far behind.
    Clock::time_point due(unsigned long frames) {
        const auto deadline = at(delivered_ + frames);
        if (Clock::now() > deadline + kPacingSlack) {
            restart();
            return at(frames);
        }
        return deadline;
    }

    void delivered(unsigned long frames) { delivered_ += frames; }

private:
    Clock::time_point at(unsigned long frames) const {
        return start_ + std::chrono::nanoseconds(static_cast<long long>(frames) * 1000000000LL / rate_);
    }

    unsigned int rate_;
    Clock::time_point start_ = Clock::now();
    unsigned long delivered_ = 0;
};

// Opens "default" for capture in the format asked; ALSA's error otherwise.
int openCapture(snd_pcm_t** pcm, unsigned int channels, unsigned int rate) {
    int error = snd_pcm_open(pcm, kDeviceName, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (error < 0) return error;
    error = snd_pcm_set_params(*pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1,
                               kLatencyMicroseconds);
    if (error < 0) {
        snd_pcm_close(*pcm);
        *pcm = nullptr;
    }
    return error;
}

// Only the plugins that read a file or nothing have no clock: they need pacing.
bool hasNoClock(snd_pcm_t* pcm) {
    const snd_pcm_type_t type = snd_pcm_type(pcm);
    return type == SND_PCM_TYPE_FILE || type == SND_PCM_TYPE_NULL;
}

}  // namespace

struct HWAVEIN__ {
    snd_pcm_t* pcm = nullptr;
    PWAVEINPROC callback = nullptr;
    DWORD_PTR instance = 0;
    unsigned int rate = 0;
    unsigned int frameBytes = 0;
    bool paced = false;
    // When the device failed for good; it is closed (null) until it opens again.
    Clock::time_point lostAt;

    std::mutex lock;
    std::condition_variable changed;
    std::deque<WAVEHDR*> queue;
    // Buffers that stop or reset took out of the queue, to be handed back by the thread.
    std::deque<WAVEHDR*> returning;
    bool running = false;
    bool closing = false;
    unsigned long requests = 0;
    unsigned long served = 0;
    std::thread thread;

    void notify(UINT message, WAVEHDR* header) {
        if (callback != nullptr) {
            callback(this, message, instance, reinterpret_cast<DWORD_PTR>(header), 0);
        }
    }

    void run();
    void handBack(std::unique_lock<std::mutex>& held);
    // Up to `frames` frames; 0 when nothing came, ALSA's error when the device failed.
    long readSome(unsigned char* into, unsigned long frames, bool& restarted);
    // Waits a while, then opens the failed device again; true once it works. False at once
    // for a close, a stop or a request, which the thread serves before it tries again.
    bool reopen(std::unique_lock<std::mutex>& held);
    bool waitUntilDue(std::unique_lock<std::mutex>& held, Clock::time_point due);
    void request(std::unique_lock<std::mutex>& held);
};

// Hands back, with the lock released, every buffer that stop or reset took out, then
// tells the waiting callers that their requests are served.
void HWAVEIN__::handBack(std::unique_lock<std::mutex>& held) {
    while (!returning.empty()) {
        WAVEHDR* header = returning.front();
        returning.pop_front();
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        held.unlock();
        notify(WIM_DATA, header);
        held.lock();
    }
    if (served != requests) {
        served = requests;
        changed.notify_all();
    }
}

// Reads up to `frames` without blocking longer than one poll step. A paced source has its
// data at once and its pacer keeps the time, so it is read first and waited for only when
// it had nothing. An overrun or a suspend is recovered here; what ALSA cannot recover is
// the caller's to handle.
long HWAVEIN__::readSome(unsigned char* into, unsigned long frames, bool& restarted) {
    std::memset(into, 0, frames * frameBytes);
    const int ready = paced ? 1 : snd_pcm_wait(pcm, kPollMilliseconds);
    if (ready == 0) return 0;
    const snd_pcm_sframes_t got = ready < 0 ? ready : snd_pcm_readi(pcm, into, frames);
    if (got > 0) return got;
    if (got == 0 || got == -EAGAIN) {
        if (paced) snd_pcm_wait(pcm, kPollMilliseconds);
        return 0;
    }
    const int recovered = snd_pcm_recover(pcm, static_cast<int>(got), 1);
    if (recovered < 0) return recovered;
    harbor::logWarning("waveInCapture", "capture read fail:[%s], recovered.", snd_strerror(static_cast<int>(got)));
    snd_pcm_start(pcm);
    restarted = true;
    return 0;
}

bool HWAVEIN__::reopen(std::unique_lock<std::mutex>& held) {
    changed.wait_for(held, kReopenInterval, [&] { return closing || !running || requests != served; });
    if (closing || !running || requests != served) return false;
    held.unlock();
    const int error = openCapture(&pcm, frameBytes / 2, rate);
    held.lock();
    if (error < 0) return false;
    paced = hasNoClock(pcm);
    harbor::logInfo(
        "waveInCapture", "capture device [%s] back after [%lld] ms.", kDeviceName,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lostAt).count()));
    return true;
}

// Waits for a paced source's due time; false when a request or close cut the wait short.
bool HWAVEIN__::waitUntilDue(std::unique_lock<std::mutex>& held, Clock::time_point due) {
    const unsigned long pending = requests;
    return !changed.wait_until(held, due, [&] { return closing || !running || requests != pending; });
}

void HWAVEIN__::run() {
    const unsigned long chunkFrames = rate / 50;
    std::vector<unsigned char> scratch(chunkFrames * frameBytes);
    Pacer pacer(rate);
    bool capturing = false;
    std::unique_lock held(lock);
    while (true) {
        handBack(held);
        if (closing) break;
        if (!running) {
            if (capturing) snd_pcm_drop(pcm);
            capturing = false;
            changed.wait(held, [&] { return closing || running || requests != served; });
            continue;
        }
        if (!capturing) {
            if (pcm == nullptr && !reopen(held)) continue;
            snd_pcm_prepare(pcm);
            snd_pcm_start(pcm);
            pacer.restart();
            capturing = true;
        }
        // Without a queued buffer the audio is read all the same and dropped, as a device
        // does, so that ALSA never overruns.
        unsigned long frames = chunkFrames;
        if (!queue.empty()) {
            const WAVEHDR* front = queue.front();
            frames = std::min<unsigned long>(frames, (front->dwBufferLength - front->dwBytesRecorded) / frameBytes);
        }
        if (frames > 0) {
            held.unlock();
            bool restarted = false;
            const long got = readSome(scratch.data(), frames, restarted);
            held.lock();
            if (got < 0) {
                harbor::logError("waveInCapture", "capture device [%s] failed:[%s], opening it again every %lld s.",
                                 kDeviceName, snd_strerror(static_cast<int>(got)),
                                 static_cast<long long>(kReopenInterval.count()));
                lostAt = Clock::now();
                snd_pcm_close(pcm);
                pcm = nullptr;
                capturing = false;
                continue;
            }
            if (restarted) pacer.restart();
            if (got == 0 || !running) continue;
            if (paced && !waitUntilDue(held, pacer.due(static_cast<unsigned long>(got)))) continue;
            pacer.delivered(static_cast<unsigned long>(got));
            if (queue.empty()) continue;
            WAVEHDR* header = queue.front();
            std::memcpy(header->lpData + header->dwBytesRecorded, scratch.data(),
                        static_cast<std::size_t>(got) * frameBytes);
            header->dwBytesRecorded += static_cast<DWORD>(got) * frameBytes;
            if (header->dwBufferLength - header->dwBytesRecorded >= frameBytes) continue;
        }
        // The front buffer is full (or too small for one more frame): it goes back.
        WAVEHDR* header = queue.front();
        queue.pop_front();
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        held.unlock();
        notify(WIM_DATA, header);
        held.lock();
    }
    if (capturing) snd_pcm_drop(pcm);
}

// Hands a stop or reset to the capture thread and waits until it has been served.
void HWAVEIN__::request(std::unique_lock<std::mutex>& held) {
    const unsigned long ticket = ++requests;
    changed.notify_all();
    changed.wait(held, [&] { return served >= ticket || closing; });
}

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags) {
    if (device == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
    *device = nullptr;
    if (flags != CALLBACK_FUNCTION || callback == 0) return MMSYSERR_INVALFLAG;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16 || format->nChannels == 0 ||
        format->nSamplesPerSec < 50) {
        return WAVERR_BADFORMAT;
    }
    snd_pcm_t* pcm = nullptr;
    const int error = openCapture(&pcm, format->nChannels, format->nSamplesPerSec);
    if (error < 0) {
        harbor::logError("waveInOpen", "capture device [%s] as [%u Hz, %u channels] open fail:[%s].", kDeviceName,
                         format->nSamplesPerSec, format->nChannels, snd_strerror(error));
        return resultFromAlsa(error);
    }
    auto* opened = new HWAVEIN__;
    opened->pcm = pcm;
    opened->callback = reinterpret_cast<PWAVEINPROC>(callback);
    opened->instance = instance;
    opened->rate = format->nSamplesPerSec;
    opened->frameBytes = 2U * format->nChannels;
    opened->paced = hasNoClock(pcm);
    harbor::logInfo("waveInOpen", "capture device [%s] type:[%s] paced:[%d].", kDeviceName,
                    snd_pcm_type_name(snd_pcm_type(pcm)), opened->paced ? 1 : 0);
    opened->thread = std::thread([opened] {
        talkhub::platform::nameThisThread("talkhub-capture");
        opened->run();
    });
    *device = opened;
    opened->notify(WIM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard held(device->lock);
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard held(device->lock);
    if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard held(device->lock);
    if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    // The capture thread never waits for a buffer (it reads on and drops the audio when
    // none is queued), so there is nobody to wake.
    device->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStart(HWAVEIN device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard held(device->lock);
    device->running = true;
    device->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::unique_lock held(device->lock);
    device->running = false;
    if (!device->queue.empty() && device->queue.front()->dwBytesRecorded > 0) {
        device->returning.push_back(device->queue.front());
        device->queue.pop_front();
    }
    device->request(held);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::unique_lock held(device->lock);
    device->running = false;
    device->returning.insert(device->returning.end(), device->queue.begin(), device->queue.end());
    device->queue.clear();
    device->request(held);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard held(device->lock);
        if (!device->queue.empty() || !device->returning.empty()) return WAVERR_STILLPLAYING;
        device->closing = true;
        device->changed.notify_all();
    }
    device->thread.join();
    device->notify(WIM_CLOSE, nullptr);
    if (device->pcm != nullptr) snd_pcm_close(device->pcm);
    delete device;
    return MMSYSERR_NOERROR;
}
