#include <windows.h>

#include "platform/child_process.h"
#include "platform/windows_text.h"

namespace talkhub::platform {
namespace {

// One argument as the C runtime of the child splits its command line back: quoted when
// it holds blanks or quotes, backslashes doubled only where they precede a quote.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(character == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += character;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::string lastErrorText() { return std::system_category().message(static_cast<int>(GetLastError())); }

}  // namespace

std::string findProgram(const std::string& folder, const std::string& stem) { return folder + stem + ".exe"; }

ChildOutcome runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildOutcome outcome;
    const std::wstring application = wideFromUtf8(program);
    std::wstring commandLine;
    appendQuoted(commandLine, application);
    for (const std::string& argument : arguments) {
        commandLine += L' ';
        appendQuoted(commandLine, wideFromUtf8(argument));
    }

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nullDevice = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (nullDevice == INVALID_HANDLE_VALUE) {
        outcome.startError = "null device: " + lastErrorText();
        return outcome;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nullDevice;
    PROCESS_INFORMATION process{};
    // No console window: the host may be a GUI program, and the transcoder shows nothing.
    const BOOL started = CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    if (started == 0) outcome.startError = lastErrorText();
    CloseHandle(nullDevice);
    if (started == 0) return outcome;
    outcome.started = true;
    CloseHandle(process.hThread);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        GetExitCodeProcess(process.hProcess, &exitCode) == 0) {
        outcome.waitError = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    } else {
        outcome.exitCode = static_cast<int>(exitCode);
    }
    CloseHandle(process.hProcess);
    return outcome;
}

}  // namespace talkhub::platform
