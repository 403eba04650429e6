// Stands in for ffmpeg.exe in the transcoding tests: waits until a file named "gate" lies
// beside it, then "converts" `-i SOURCE TARGET` by copying, and ends with status 1 for a
// source whose name holds "broken". Each run adds a line to "runs.txt" beside it: the
// source as it arrived, whether the run had a console window, and whether its standard
// streams were the null device.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool onNullDevice(DWORD stream) {
    const HANDLE handle = GetStdHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 4 || std::wstring(arguments[1]) != L"-i") return 2;
    const std::filesystem::path source(arguments[2]);
    const std::filesystem::path target(arguments[3]);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::filesystem::path folder = std::filesystem::path(self).parent_path();

    for (int waited = 0; waited < 3000 && !std::filesystem::exists(folder / "gate"); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::ofstream runs(folder / "runs.txt", std::ios::app | std::ios::binary);
        const std::u8string name = source.u8string();
        runs << std::string(name.begin(), name.end()) << "|console:" << (GetConsoleWindow() != nullptr ? 1 : 0)
             << "|null:"
             << (onNullDevice(STD_INPUT_HANDLE) && onNullDevice(STD_OUTPUT_HANDLE) && onNullDevice(STD_ERROR_HANDLE)
                     ? 1
                     : 0)
             << "\n";
    }
    if (source.filename().wstring().find(L"broken") != std::wstring::npos) return 1;
    std::error_code error;
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing, error);
    return error ? 3 : 0;
}
