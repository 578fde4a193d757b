#include "capture_process.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

namespace {

constexpr DWORD idleWaitMs = 10;
// How long an ended child's pipes may stay open (a grandchild that inherited them)
// before its end is reported without their last lines.
constexpr std::chrono::milliseconds drainTimeout(2000);

std::wstring wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), result.data(), size);
    return result;
}

std::string systemMessage(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

// One argument as CommandLineToArgvW and the C runtime will read it back: quoted when
// it has blanks or quotes (or is empty), backslashes doubled only before a quote.
void appendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty())
        line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        line += *it;
    }
    line += L'"';
}

void closeHandle(void*& handle) {
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// Both ends are made inheritable by CreatePipe; ours is then taken back, so the child
// holds only its own end and the pipe reports its end as soon as the child has gone.
Pipe makePipe(bool childReads) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Pipe pipe;
    if (!CreatePipe(&pipe.read, &pipe.write, &inherit, 0))
        throw std::runtime_error("cannot create a pipe: " + systemMessage(GetLastError()));
    SetHandleInformation(childReads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

} // namespace

CaptureProcess::CaptureProcess(const std::string& binary, const std::string& settingsPath,
                               const std::string& logPath) {
    std::wstring commandLine;
    for (const std::string& argument : {binary, settingsPath, logPath})
        appendArgument(commandLine, wide(argument));

    Pipe in = makePipe(true);
    Pipe out = makePipe(false);
    Pipe err = makePipe(false);

    // The job ends the child should we end first, however we end.
    job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.read;
    startup.hStdOutput = out.write;
    startup.hStdError = err.write;
    PROCESS_INFORMATION info{};
    // A process group of its own: a Ctrl+C at the console reaches only us, and the child
    // can be sent Ctrl+Break alone. Suspended until it is in the job.
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                        nullptr, nullptr, &startup, &info);
    const DWORD startError = GetLastError();
    CloseHandle(in.read);
    CloseHandle(out.write);
    CloseHandle(err.write);
    stdinPipe = in.write;
    stdoutPipe = out.read;
    stderrPipe = err.read;
    if (!started) {
        closeHandle(stdinPipe);
        closeHandle(stdoutPipe);
        closeHandle(stderrPipe);
        closeHandle(job);
        throw std::runtime_error("cannot start " + binary + ": " + systemMessage(startError));
    }
    if (job)
        AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    processHandle = info.hProcess;
    childPid = info.dwProcessId;
    reader = std::thread(&CaptureProcess::readOutput, this);
}

CaptureProcess::~CaptureProcess() {
    if (!status) {
        terminate();
        if (!waitExit(Duration(3000))) {
            kill();
            waitExit(Duration(3000));
        }
    }
    {
        std::lock_guard lock(mutex);
        stopReading = true;
    }
    if (reader.joinable())
        reader.join();
    closeHandle(stdinPipe);
    closeHandle(stdoutPipe);
    closeHandle(stderrPipe);
    closeHandle(processHandle);
    closeHandle(job);
}

bool CaptureProcess::send(const std::string& command) {
    if (!stdinPipe)
        return false;
    DWORD written = 0;
    if (!WriteFile(stdinPipe, command.data(), static_cast<DWORD>(command.size()), &written, nullptr))
        return false;
    return written == command.size();
}

std::optional<int> CaptureProcess::exitStatus() {
    if (status || !processHandle || WaitForSingleObject(processHandle, 0) != WAIT_OBJECT_0)
        return status;
    DWORD code = 0;
    GetExitCodeProcess(processHandle, &code);
    // Its last lines (the hidden line of an orderly exit, an error on standard error)
    // may still be in the pipes; they are taken before its end is reported.
    waitUntilDrained(drainTimeout);
    status = static_cast<int>(code);
    return status;
}

std::optional<int> CaptureProcess::waitExit(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exitStatus()) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        WaitForSingleObject(processHandle, static_cast<DWORD>(std::min<long long>(left.count(), 100)));
    }
    return status;
}

void CaptureProcess::terminate() {
    // The console control event of the child's own process group; sondrel-capture
    // shuts down as for "exit". Without a console shared with the child this does
    // nothing, and the caller's time-out leads to kill().
    if (processHandle && !exitStatus())
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, childPid);
}

void CaptureProcess::kill() {
    if (processHandle && !exitStatus())
        TerminateProcess(processHandle, 1);
}

std::string CaptureProcess::describeStatus(int s) {
    const auto code = static_cast<unsigned long>(static_cast<unsigned int>(s));
    // NTSTATUS error values: the process ended with an unhandled exception.
    if (code >= 0xC0000000ul) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%08lX", code);
        return std::string("ended with exception ") + text;
    }
    return "exited with status " + std::to_string(code);
}

// Anonymous pipes cannot be waited on, so the reader looks at both in turn and sleeps
// briefly while neither has anything.
void CaptureProcess::readOutput() {
    std::string pending[2];
    bool open[2] = {true, true};
    HANDLE pipes[2] = {stdoutPipe, stderrPipe};
    char buffer[8192];
    while (open[0] || open[1]) {
        {
            std::lock_guard lock(mutex);
            if (stopReading)
                break;
        }
        bool readSomething = false;
        for (int i = 0; i < 2; ++i) {
            if (!open[i])
                continue;
            DWORD available = 0;
            DWORD n = 0;
            const bool ended =
                !PeekNamedPipe(pipes[i], nullptr, 0, nullptr, &available, nullptr) ||
                (available > 0 &&
                 (!ReadFile(pipes[i], buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0));
            if (ended) {
                takeLines(pending[i], i == 0, true);
                open[i] = false;
                if (i == 0) {
                    std::lock_guard lock(mutex);
                    outputClosed = true;
                    changed.notify_all();
                }
                continue;
            }
            if (n > 0) {
                readSomething = true;
                pending[i].append(buffer, n);
                takeLines(pending[i], i == 0, false);
            }
        }
        if (!readSomething)
            Sleep(idleWaitMs);
    }
    std::lock_guard lock(mutex);
    outputClosed = true;
    drained = true;
    changed.notify_all();
}
