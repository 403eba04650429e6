// Bounded little-endian reading and writing of message fields.
//
// A Writer never writes past its capacity and a Reader never reads past its length: the
// first field that does not fit sets the error, and every later field is skipped.
#pragma once

#include <cstdint>
#include <cstring>

#include "talkwire.h"

namespace talkwire {

class Writer {
public:
    Writer(unsigned char* buffer, int capacity)
        : buffer_(buffer),
          capacity_(buffer != nullptr && capacity > 0 ? static_cast<uint32_t>(capacity) : 0),
          error_(buffer == nullptr || capacity <= 0 ? TW_ERR_ARGUMENT : TW_OK) {}

    void u8(uint8_t value) { put(&value, 1); }
    void u16(uint16_t value) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8)};
        put(bytes, 2);
    }
    void u32(uint32_t value) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16),
                                        static_cast<unsigned char>(value >> 24)};
        put(bytes, 4);
    }
    void i32(int32_t value) { u32(static_cast<uint32_t>(value)); }
    void u64(uint64_t value) {
        u32(static_cast<uint32_t>(value));
        u32(static_cast<uint32_t>(value >> 32));
    }

    // A text field: one length byte, then the characters without the NUL. The text must fit
    // its record field with the NUL, so at most N - 1 characters.
    template <std::size_t N>
    void text(const char (&field)[N]) {
        text(field, N - 1);
    }
    void text(const char* value, std::size_t maxLength) {
        if (value == nullptr) {
            fail(TW_ERR_ARGUMENT);
            return;
        }
        const std::size_t length = strnlen(value, maxLength + 1);
        if (length > maxLength || length > 255) {
            fail(TW_ERR_RANGE);
            return;
        }
        u8(static_cast<uint8_t>(length));
        put(value, length);
    }

    // A fixed-size field copied byte for byte.
    template <class Byte, std::size_t N>
    void raw(const Byte (&field)[N]) {
        static_assert(sizeof(Byte) == 1);
        put(field, N);
    }

    void put(const void* data, std::size_t size) {
        if (error_ != TW_OK) {
            return;
        }
        if (size > capacity_ - position_) {
            fail(TW_ERR_SPACE);
            return;
        }
        std::memcpy(buffer_ + position_, data, size);
        position_ += static_cast<uint32_t>(size);
    }

    void fail(int error) {
        if (error_ == TW_OK) {
            error_ = error;
        }
    }

    // The number of bytes written, or the first error.
    int result() const { return error_ == TW_OK ? static_cast<int>(position_) : error_; }

private:
    unsigned char* buffer_;
    uint32_t capacity_;
    uint32_t position_ = 0;
    int error_;
};

class Reader {
public:
    Reader(const void* body, uint32_t length)
        : body_(static_cast<const unsigned char*>(body)),
          length_(body == nullptr ? 0 : length),
          error_(body == nullptr && length != 0 ? TW_ERR_ARGUMENT : TW_OK) {}

    void u8(uint8_t& value) { value = take(1) ? at(0) : 0; }
    void u16(uint16_t& value) { value = take(2) ? static_cast<uint16_t>(at(0) | at(1) << 8) : 0; }
    void u32(uint32_t& value) {
        value = take(4) ? static_cast<uint32_t>(at(0)) | static_cast<uint32_t>(at(1)) << 8 |
                              static_cast<uint32_t>(at(2)) << 16 | static_cast<uint32_t>(at(3)) << 24
                        : 0;
    }
    void i32(int32_t& value) {
        uint32_t bits = 0;
        u32(bits);
        value = static_cast<int32_t>(bits);
    }
    void u64(uint64_t& value) {
        uint32_t low = 0;
        uint32_t high = 0;
        u32(low);
        u32(high);
        value = static_cast<uint64_t>(high) << 32 | low;
    }

    // Reads a text field into a record field of N bytes; always NUL-terminated.
    template <std::size_t N>
    void text(char (&field)[N]) {
        std::memset(field, 0, N);
        uint8_t length = 0;
        u8(length);
        if (error_ != TW_OK) {
            return;
        }
        if (length > N - 1) {
            fail(TW_ERR_RANGE);
            return;
        }
        if (take(length)) {
            std::memcpy(field, body_ + position_ - length, length);
        }
    }

    template <class Byte, std::size_t N>
    void raw(Byte (&field)[N]) {
        static_assert(sizeof(Byte) == 1);
        if (take(N)) {
            std::memcpy(field, body_ + position_ - N, N);
        }
    }

    void fail(int error) {
        if (error_ == TW_OK) {
            error_ = error;
        }
    }

    uint32_t remaining() const { return error_ == TW_OK ? length_ - position_ : 0; }

    // 0 when every byte was read and nothing failed.
    int finish() {
        if (error_ == TW_OK && position_ != length_) {
            error_ = TW_ERR_TRAILING;
        }
        return error_;
    }

    int error() const { return error_; }

private:
    bool take(uint32_t size) {
        if (error_ != TW_OK) {
            return false;
        }
        if (size > length_ - position_) {
            fail(TW_ERR_TRUNCATED);
            return false;
        }
        position_ += size;
        lastTake_ = size;
        return true;
    }
    unsigned char at(uint32_t back) const { return body_[position_ - lastTake_ + back]; }

    const unsigned char* body_;
    uint32_t length_;
    uint32_t position_ = 0;
    uint32_t lastTake_ = 0;
    int error_;
};

}  // namespace talkwire
