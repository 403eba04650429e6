#include "device/audio_stream.h"

#include <cstdlib>
#include <cstring>

#include "outside/harbor.h"

CAudioStream::~CAudioStream() {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    size_ = 0;
}

void CAudioStream::write(const unsigned char* data, unsigned int length) {
    if (data == nullptr || length == 0) return;
    if (length > limit_) {
        // Only the newest audio of an oversized write can ever be played.
        data += length - limit_;
        length = limit_;
    }
    if (size_ + length > limit_) {
        // Whole samples go, so what stays is still aligned 16-bit PCM.
        const unsigned int excess = size_ + length - limit_;
        consume(excess + (excess & 1U));
        if (!overflowing_) {
            overflowing_ = true;
            harbor::logWarning("CAudioStream::write",
                               "playback behind, stream full:[%u] bytes, dropping the oldest audio.", limit_);
        }
    }
    if (length > capacity_ - size_) {
        const unsigned int grown = size_ + length;
        void* block = std::realloc(data_, grown);
        if (block == nullptr) {
            harbor::logError("CAudioStream::write", "malloc memory size:[%d] error", static_cast<int>(grown));
            return;
        }
        data_ = static_cast<unsigned char*>(block);
        capacity_ = grown;
    }
    std::memcpy(data_ + size_, data, length);
    size_ += length;
    finished_ = false;
}

void CAudioStream::consume(unsigned int length) {
    const unsigned int taken = length < size_ ? length : size_;
    if (taken == 0 || data_ == nullptr) return;
    std::memmove(data_, data_ + taken, size_ - taken);
    size_ -= taken;
    // The episode is over once the mixer has caught up with half the stream.
    if (size_ < limit_ / 2) overflowing_ = false;
}
