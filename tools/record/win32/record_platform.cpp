#include "record_platform.h"

#include <windows.h>

#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

namespace {

std::atomic<bool>* interruptFlag = nullptr;

// Runs on a thread the system starts for the event. For a closed console the process
// ends once the handler returns, which leaves the child to the job object.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        interruptFlag->store(true);
        return TRUE;
    default:
        return FALSE;
    }
}

std::wstring wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), result.data(), size);
    return result;
}

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

} // namespace

void installInterruptHandlers(std::atomic<bool>& interrupted) {
    interruptFlag = &interrupted;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

std::vector<std::string> recordArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i)
        result.push_back(utf8(arguments[i]));
    LocalFree(arguments);
    return result;
}

std::string defaultCapturePath() {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0)
            return "sondrel-capture.exe";
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    return utf8((std::filesystem::path(self).parent_path() / L"sondrel-capture.exe").wstring());
}

std::filesystem::path recordPath(const std::string& utf8Path) { return std::filesystem::path(wide(utf8Path)); }

int createBinaryFile(const std::string& path) {
    // Binary: in text mode every 0x0A byte of the audio would gain a 0x0D.
    return _wopen(wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

long long writeFileAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    // The writer is the file's only user, so seeking and writing need not be atomic.
    if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0)
        return -1;
    const unsigned chunk = size > 0x40000000 ? 0x40000000u : static_cast<unsigned>(size);
    return _write(fd, data, chunk);
}

int closeFile(int fd) { return _close(fd); }

bool secureRandomBytes(unsigned char* data, std::size_t size) {
    return BCryptGenRandom(nullptr, data, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool setEnvironmentForChild(const std::string& name, const std::string& value) {
    // CreateProcess hands on the process environment, not the C library's copy.
    return SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str()) != 0;
}
