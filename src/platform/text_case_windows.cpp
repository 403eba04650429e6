#include <windows.h>

#include "platform/text_case.h"
#include "platform/windows_text.h"

namespace talkhub::platform {

std::string foldCase(const std::string& text) {
    const std::wstring wide = wideFromUtf8(text);
    if (wide.empty()) return {};
    // The invariant locale: the same folding whatever the user's language setting.
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), static_cast<int>(wide.size()),
                                     nullptr, 0, nullptr, nullptr, 0);
    if (length <= 0) return text;
    std::wstring lowered(static_cast<std::size_t>(length), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), static_cast<int>(wide.size()), lowered.data(),
                  length, nullptr, nullptr, 0);
    return utf8FromWide(lowered);
}

}  // namespace talkhub::platform
