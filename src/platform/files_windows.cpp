#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/windows_text.h"

namespace talkhub::platform {

// The C runtime's exclusive-create mode is not in every Windows runtime: ask the system
// for a new file, then hand its handle to a C stream.
std::FILE* createNewFile(const std::string& name) {
    HANDLE handle = CreateFileW(wideFromUtf8(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
                : error == ERROR_PATH_NOT_FOUND                             ? ENOENT
                : error == ERROR_ACCESS_DENIED                              ? EACCES
                                                                            : EIO;
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "w+b");
    if (file == nullptr) _close(descriptor);
    return file;
}

}  // namespace talkhub::platform
