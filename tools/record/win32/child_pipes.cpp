#include "child_pipes.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr DWORD idleWaitMs = 10;

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

void closeHandle(HANDLE& handle) {
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

struct ChildPipes::Impl {
    DWORD pid = 0;
    std::optional<int> status;
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    HANDLE stdinPipe = nullptr;
    std::array<HANDLE, 2> outputPipes{nullptr, nullptr};

    ~Impl() {
        closeHandle(stdinPipe);
        closeHandle(outputPipes[0]);
        closeHandle(outputPipes[1]);
        closeHandle(process);
        // Closing the job ends a child that is still in it.
        closeHandle(job);
    }

    std::optional<int> reap() {
        if (status || !process || WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
            return status;
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        status = static_cast<int>(code);
        return status;
    }
};

ChildPipes::ChildPipes(const std::vector<std::string>& arguments) : impl(std::make_unique<Impl>()) {
    std::wstring commandLine;
    for (const std::string& argument : arguments)
        appendArgument(commandLine, wide(argument));

    Pipe in = makePipe(true);
    Pipe out = makePipe(false);
    Pipe err = makePipe(false);

    // The job ends the child should we end first, however we end.
    impl->job = CreateJobObjectW(nullptr, nullptr);
    if (impl->job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(impl->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
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
    impl->stdinPipe = in.write;
    impl->outputPipes = {out.read, err.read};
    if (!started)
        throw std::runtime_error("cannot start " + arguments.at(0) + ": " + systemMessage(startError));
    if (impl->job)
        AssignProcessToJobObject(impl->job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    impl->process = info.hProcess;
    impl->pid = info.dwProcessId;
}

ChildPipes::~ChildPipes() = default;

ProcessId ChildPipes::pid() const { return impl->pid; }

bool ChildPipes::write(std::string_view bytes) {
    if (!impl->stdinPipe)
        return false;
    DWORD written = 0;
    if (!WriteFile(impl->stdinPipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return false;
    return written == bytes.size();
}

// Anonymous pipes cannot be waited on, so both are looked at in turn, with a short
// sleep while neither has anything.
ChildPipes::Output ChildPipes::read(const std::array<bool, 2>& open, Duration wait) {
    Output output;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[8192];
    for (;;) {
        bool readSomething = false;
        for (std::size_t i = 0; i < 2; ++i) {
            if (!open[i] || output.ended[i])
                continue;
            HANDLE pipe = impl->outputPipes[i];
            DWORD available = 0;
            DWORD n = 0;
            const bool ended =
                !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ||
                (available > 0 &&
                 (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0));
            if (ended) {
                output.ended[i] = true;
                readSomething = true;
            } else if (n > 0) {
                output.bytes[i].append(buffer, n);
                readSomething = true;
            }
        }
        if (readSomething || std::chrono::steady_clock::now() >= deadline)
            return output;
        Sleep(idleWaitMs);
    }
}

std::optional<int> ChildPipes::ended() { return impl->reap(); }

void ChildPipes::waitForEnd(Duration slice) {
    if (impl->process && !impl->status)
        WaitForSingleObject(impl->process, static_cast<DWORD>(std::max<long long>(slice.count(), 0)));
}

void ChildPipes::terminate() {
    // The console control event of the child's own process group; sondrel-capture
    // shuts down as for "exit". Without a console shared with the child this does
    // nothing, and the caller's time-out leads to kill().
    if (impl->process && !impl->reap())
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, impl->pid);
}

void ChildPipes::kill() {
    if (impl->process && !impl->reap())
        TerminateProcess(impl->process, 1);
}

std::string ChildPipes::describeStatus(int s) {
    const auto code = static_cast<unsigned long>(static_cast<unsigned int>(s));
    // NTSTATUS error values: the process ended with an unhandled exception.
    if (code >= 0xC0000000ul) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%08lX", code);
        return std::string("ended with exception ") + text;
    }
    return "exited with status " + std::to_string(code);
}
