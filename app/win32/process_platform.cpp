#include "process_platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// One count per Ctrl+C, Ctrl+Break or console close, taken by waitForStopRequest(): a
// second Ctrl+C is seen as a second request however soon it follows the first.
HANDLE stopRequests = nullptr;

// Opened at start; signalled once the parent process has ended. None when the parent
// could not be identified (a parent that is no Windows process, as under Wine when a
// Unix program starts us) or may not be watched.
HANDLE parentProcess = nullptr;
bool parentEndedBeforeUs = false;

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
        ReleaseSemaphore(stopRequests, 1, nullptr);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The exit watch ends the process within its deadline, before Windows does.
        ReleaseSemaphore(stopRequests, 1, nullptr);
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

std::uint64_t creationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return std::uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// The id of the process that started us, from a snapshot of all processes; 0 when
// there is none to be found.
DWORD parentProcessId() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

// The variable as the process holds it (the block CreateProcess hands on).
std::optional<std::wstring> processVariable(const std::wstring& name) {
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0)
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::wstring>(L"");
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), size);
    if (length == 0 || length >= size)
        return std::wstring();
    value.resize(length);
    return value;
}

std::string systemCodePage(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    result.pop_back();
    return result;
}

// Every value after `prefix` ("NAME=", any case, as Windows compares names) in a C
// library environment array, overwritten in place. Volatile: those bytes are freed
// next and never read again, and the stores must happen anyway.
void overwriteValues(wchar_t** environment, const std::wstring& prefix) {
    for (wchar_t** entry = environment; entry && *entry; ++entry) {
        if (_wcsnicmp(*entry, prefix.c_str(), prefix.size()) != 0)
            continue;
        for (volatile wchar_t* c = *entry + prefix.size(); *c; ++c)
            *c = L'*';
    }
}

void overwriteValues(char** environment, const std::string& prefix) {
    for (char** entry = environment; entry && *entry; ++entry) {
        if (prefix.size() <= 1 || _strnicmp(*entry, prefix.c_str(), prefix.size()) != 0)
            continue;
        for (volatile char* c = *entry + prefix.size(); *c; ++c)
            *c = '*';
    }
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
    stopRequests = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    shutdownDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Registered before the logger exists, so it runs after the logger's file is closed.
    std::atexit(onProcessExit);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool waitForStopRequest(std::chrono::milliseconds timeout) {
    if (!stopRequests) {
        Sleep(static_cast<DWORD>(timeout.count()));
        return false;
    }
    return WaitForSingleObject(stopRequests, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

// Process ids are reused: a process with the parent's id that started after us is not
// our parent, which has then already ended.
void rememberParentProcess() {
    const DWORD id = parentProcessId();
    if (id == 0)
        return;
    const HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!parent)
        return;
    const std::uint64_t parentStarted = creationTime(parent);
    const std::uint64_t started = creationTime(GetCurrentProcess());
    if (parentStarted != 0 && started != 0 && parentStarted > started) {
        CloseHandle(parent);
        parentEndedBeforeUs = true;
        return;
    }
    parentProcess = parent;
}

bool parentProcessGone() {
    if (parentEndedBeforeUs)
        return true;
    return parentProcess && WaitForSingleObject(parentProcess, 0) == WAIT_OBJECT_0;
}

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

std::optional<std::string> takeEnvironmentVariable(const std::string& name) {
    const std::wstring wide = pathFromUtf8(name).wstring();
    const std::optional<std::wstring> value = processVariable(wide);
    if (!value)
        return std::nullopt;
    std::string taken = utf8(value->c_str());
    // Removing a variable moves the rest of the block over it and leaves the block's old
    // last characters behind its new end: the value itself when it was the last entry.
    // A value of the same length is written over the old one where it lies, so the
    // value is gone from the block before anything moves.
    SetEnvironmentVariableW(wide.c_str(), std::wstring(value->size(), L'*').c_str());
    // The C library's copies, which it frees on removal without clearing them.
    overwriteValues(_wenviron, wide + L"=");
    overwriteValues(_environ, systemCodePage(wide) + "=");
    // Both copies: the C library's, and the process's that CreateProcess hands on.
    _wputenv_s(wide.c_str(), L"");
    SetEnvironmentVariableW(wide.c_str(), nullptr);
    return taken;
}
