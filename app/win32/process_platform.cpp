#include "process_platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set once main() has returned and the static objects (the log file among them) are
// gone; a console-close handler waits for it.
HANDLE shutdownDone = nullptr;

void onProcessExit() {
    if (shutdownDone)
        SetEvent(shutdownDone);
}

// Runs on a thread the system starts for the event. Ctrl+C and Ctrl+Break only ask;
// for the others (console closed, logoff, shutdown) the system ends the process as soon
// as the handler returns, so it waits here until the orderly shutdown has finished.
// Windows gives it about five seconds before ending the process anyway.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stopSignalled.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        stopSignalled.store(true);
        if (shutdownDone)
            WaitForSingleObject(shutdownDone, INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.pop_back(); // the terminating zero
    return result;
}

} // namespace

void prepareStandardStreams() {
    // A descriptor without a handle (-1) or without a stream behind it (-2, no console)
    // gets the null device. Writes to a pipe nobody reads fail with an error; Windows
    // has no signal for that.
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle != -1 && handle != -2)
            continue;
        const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

void installStopHandlers() {
    shutdownDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Registered before the logger exists, so it runs after the logger's file is closed.
    std::atexit(onProcessExit);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stopRequested() { return stopSignalled.load(); }

// The narrow argv holds the arguments in the system code page, which cannot carry
// every character of a path; the wide command line can.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(utf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

std::filesystem::path pathFromUtf8(const std::string& path) {
    if (path.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), size);
    return std::filesystem::path(wide);
}
