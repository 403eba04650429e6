// Text at the Windows boundary: the library speaks UTF-8 everywhere, the system's wide
// ("W") calls take UTF-16.
#pragma once

#include <string>

namespace talkhub::platform {

// Invalid UTF-8 becomes U+FFFD rather than failing, so a bad name still reaches the call
// that reports it.
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);

}  // namespace talkhub::platform
