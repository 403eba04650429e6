#include <windows.h>

#include <string>

#include "platform/user_folders.h"
#include "platform/windows_text.h"

namespace talkhub::platform {

std::string userStateFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return {};
    return utf8FromWide(std::wstring(folder, length)) + "\\TalkHub";
}

}  // namespace talkhub::platform
