// A buffer for one message built by talkwire, and the copy of a text into a record field.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace talkhub_server {

inline constexpr int kMessageCapacity = 10240;

// Answers are small; one buffer per answer keeps the handlers free of shared state.
struct Message {
    std::array<unsigned char, kMessageCapacity> bytes{};
    int length = 0;
};

// Copies a text into a fixed record field, cut to fit and always terminated.
inline void copyText(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace talkhub_server
