#include <windows.h>

#include <string>

#include "platform/module_path.h"
#include "platform/windows_text.h"

namespace talkhub::platform {

std::string moduleFileName() {
    // The module that holds this very function: TalkHub.dll under whatever name the host
    // loaded it, or the executable when the service is linked into one.
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&moduleFileName), &module) == 0) {
        return {};
    }
    std::wstring name(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            return utf8FromWide(name);
        }
        // Long paths (\\?\ prefixed) do not fit MAX_PATH: grow until the name fits.
        name.resize(name.size() * 2);
    }
}

}  // namespace talkhub::platform
