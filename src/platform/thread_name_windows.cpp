#include <windows.h>

#include <string>

#include "platform/thread_name.h"
#include "platform/windows_text.h"

namespace talkhub::platform {

// Thread descriptions came with Windows 10; looked up at run time, so the library still
// loads on a system without them (threads then stay unnamed).
void nameThisThread(const char* name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr) return;
    setDescription(GetCurrentThread(), wideFromUtf8(std::string(name).substr(0, 15)).c_str());
}

}  // namespace talkhub::platform
