// Microphone capture in the shape of the system's wave-input calls: a device handle, a
// queue of caller-owned buffers that the device fills in order, and a callback told of each
// filled buffer with WIM_DATA on the device's own thread. On Windows these are the system's
// own declarations; elsewhere the subset below is provided over ALSA.
#pragma once

#ifdef _WIN32
// windows.h first: mmsystem.h builds on its types.
#include <windows.h>

#include <mmsystem.h>
#else

#include <cstdint>

using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using DWORD_PTR = uintptr_t;
using LPSTR = char*;
using MMRESULT = UINT;

struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};
using LPWAVEHDR = WAVEHDR*;

// Signature of the function named by CALLBACK_FUNCTION: device, message, instance value,
// then the message's two parameters (for WIM_DATA the first is the filled WAVEHDR).
using PWAVEINPROC = void (*)(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

#define CALLBACK

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
inline constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr UINT WIM_OPEN = 0x3BE;
inline constexpr UINT WIM_CLOSE = 0x3BF;
inline constexpr UINT WIM_DATA = 0x3C0;

inline constexpr DWORD WHDR_DONE = 0x01;
inline constexpr DWORD WHDR_PREPARED = 0x02;
inline constexpr DWORD WHDR_INQUEUE = 0x10;

// Opens the capture device: WAVE_MAPPER (or device 0) is ALSA's "default" PCM, opened at
// the format's rate and channel count, 16-bit PCM only. The callback gets WIM_OPEN before
// this returns, WIM_DATA for each filled buffer and WIM_CLOSE from waveInClose.
MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
// WAVERR_STILLPLAYING while the buffer is queued.
MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
// Queues a prepared buffer; buffers are filled whole, in the order they were added.
MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveInStart(HWAVEIN device);
// Stops capturing; a partly filled buffer is returned with what it holds, empty ones stay.
MMRESULT waveInStop(HWAVEIN device);
// Stops capturing and returns every queued buffer; returns once all have been handed back.
MMRESULT waveInReset(HWAVEIN device);
// WAVERR_STILLPLAYING while buffers are queued; otherwise ends the device's thread.
MMRESULT waveInClose(HWAVEIN device);

#endif
