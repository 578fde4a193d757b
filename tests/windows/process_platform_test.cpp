// The Windows process glue: UTF-8 paths reach the file system as the characters they
// spell, whatever the system code page; console events are counted as stop requests;
// the parent is watched through a handle.
#include "process_platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <winternl.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

using namespace std::chrono_literals;

TEST(WindowsPaths, Utf8PathNamesTheSameFileAsItsWideForm) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / L"sondrel_路径_test";
    std::filesystem::create_directories(dir);
    const std::string utf8Dir = reinterpret_cast<const char*>(dir.u8string().c_str());
    const std::filesystem::path path = pathFromUtf8(utf8Dir + "/设置.json");
    std::ofstream(path) << "{}";
    EXPECT_TRUE(std::filesystem::exists(dir / L"设置.json"));
    // Not the system code page's reading of the UTF-8 bytes.
    EXPECT_EQ(path.filename().wstring(), L"设置.json");
    std::filesystem::remove_all(dir);
}

TEST(WindowsPaths, EmptyStaysEmpty) { EXPECT_TRUE(pathFromUtf8("").empty()); }

TEST(WindowsArguments, ComeFromTheWideCommandLine) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    ASSERT_NE(wide, nullptr);
    char* narrow[] = {const_cast<char*>("ignored")};
    const std::vector<std::string> arguments = commandLineArguments(1, narrow);
    ASSERT_EQ(arguments.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(pathFromUtf8(arguments[static_cast<std::size_t>(i)]).wstring(), std::wstring(wide[i]));
    LocalFree(wide);
}

// Two Ctrl+C in quick succession are two requests: the second one is what ends the
// process at once when the first one's shutdown hangs.
TEST(WindowsStopRequests, EachConsoleEventIsOneRequest) {
    installStopHandlers();
    EXPECT_FALSE(waitForStopRequest(0ms));
    // Ignoring Ctrl+C (as a console program may have inherited) would hide it from us.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        // Wine gives a program started by a Unix process without a terminal no console;
        // the process-level tests send it SIGINT, which Wine turns into Ctrl+C.
        GTEST_SKIP() << "no console to send Ctrl+C to (error " << GetLastError() << ")";
    }
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0));
    EXPECT_TRUE(waitForStopRequest(5000ms));
    EXPECT_TRUE(waitForStopRequest(5000ms));
    EXPECT_FALSE(waitForStopRequest(100ms));
}

TEST(WindowsParentProcess, ALivingParentIsNotGone) {
    rememberParentProcess();
    EXPECT_FALSE(parentProcessGone());
}

namespace {

constexpr const wchar_t* roleVariable = L"SONDREL_PARENT_TEST";

HANDLE inheritableEvent() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateEventW(&inherit, TRUE, FALSE, nullptr);
}

// This test program again, running only this test, in the given role.
HANDLE startRole(const std::wstring& role) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(path) + L"\" --gtest_filter=WindowsParentProcess.ItsEndIsNoticed";
    SetEnvironmentVariableW(roleVariable, role.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &started);
    SetEnvironmentVariableW(roleVariable, nullptr);
    if (!ok)
        return nullptr;
    CloseHandle(started.hThread);
    return started.hProcess;
}

} // namespace

// A parent process (the middle one here) that ends without a word is noticed by its
// child within a moment; while it lives, it is not taken for gone.
TEST(WindowsParentProcess, ItsEndIsNoticed) {
    wchar_t roleText[128] = {};
    const bool top = GetEnvironmentVariableW(roleVariable, roleText, 128) == 0;
    std::wstring role = roleText;
    if (!top) {
        // "middle|child <remembered> <noticed>": the events the top test waits for.
        const std::wstring kind = role.substr(0, role.find(L' '));
        unsigned long long remembered = 0, noticed = 0;
        swscanf(role.c_str() + kind.size(), L"%llu %llu", &remembered, &noticed);
        if (kind == L"middle") {
            const HANDLE child = startRole(L"child" + role.substr(kind.size()));
            // Gone once the child has looked at us; it then watches us end.
            if (child)
                WaitForSingleObject(reinterpret_cast<HANDLE>(remembered), 10000);
            ExitProcess(child ? 0 : 1);
        }
        rememberParentProcess();
        if (parentProcessGone())
            ExitProcess(2);
        SetEvent(reinterpret_cast<HANDLE>(remembered));
        for (int i = 0; i < 200; ++i) {
            if (parentProcessGone()) {
                SetEvent(reinterpret_cast<HANDLE>(noticed));
                ExitProcess(0);
            }
            Sleep(50);
        }
        ExitProcess(1);
    }

    const HANDLE remembered = inheritableEvent();
    const HANDLE noticed = inheritableEvent();
    ASSERT_TRUE(remembered && noticed);
    const HANDLE middle = startRole(L"middle " + std::to_wstring(reinterpret_cast<std::uintptr_t>(remembered)) +
                                    L" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(noticed)));
    ASSERT_NE(middle, nullptr);
    EXPECT_EQ(WaitForSingleObject(middle, 15000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(remembered, 0), WAIT_OBJECT_0) << "the child took its living parent for gone";
    EXPECT_EQ(WaitForSingleObject(noticed, 15000), WAIT_OBJECT_0) << "the child did not notice its parent's end";
    CloseHandle(middle);
    CloseHandle(remembered);
    CloseHandle(noticed);
}

namespace {

// Sorts last among the variables, where removing one leaves its text behind the block's
// new end unless it was overwritten first.
const wchar_t* const secretName = L"ZZZ_SONDREL_TEST_SECRET";
const char* const secret = "Zq3_-9xYtR7kLmN2pQ8sV4wB6cD1eF5gH0jK";
const wchar_t* const wideSecret = L"Zq3_-9xYtR7kLmN2pQ8sV4wB6cD1eF5gH0jK";

bool holdsSecret(std::wstring_view text) { return text.find(wideSecret) != std::wstring_view::npos; }
bool holdsSecret(std::string_view text) { return text.find(secret) != std::string_view::npos; }

// The process's own block (RTL_USER_PROCESS_PARAMETERS::Environment, the field after
// CommandLine), which SetEnvironmentVariableW changes and CreateProcess hands on.
const wchar_t* processEnvironment() {
    PROCESS_BASIC_INFORMATION basic{};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) !=
        0)
        return nullptr;
    const auto* parameters = basic.PebBaseAddress->ProcessParameters;
    const auto* field = reinterpret_cast<const unsigned char*>(&parameters->CommandLine) + sizeof(UNICODE_STRING);
    return *reinterpret_cast<const wchar_t* const*>(field);
}

// Characters up to and including the empty string that ends the block.
std::size_t blockLength(const wchar_t* block) {
    std::size_t length = 0;
    while (block[length] || block[length + 1])
        ++length;
    return length + 2;
}

template <typename Char>
bool entriesHoldSecret(Char** environment) {
    for (Char** entry = environment; entry && *entry; ++entry)
        if (holdsSecret(std::basic_string_view<Char>(*entry)))
            return true;
    return false;
}

} // namespace

// The parent's secret is ours alone once taken: not in the block a child or a memory
// dump would get, not in the C library's copies, nor where they were.
TEST(WindowsEnvironment, ATakenVariableLeavesNoCopyOfItsValue) {
    ASSERT_EQ(_wputenv_s(secretName, wideSecret), 0);
    _wgetenv(secretName);
    char* const narrowCopy = std::getenv("ZZZ_SONDREL_TEST_SECRET");
    ASSERT_NE(narrowCopy, nullptr);
    wchar_t* const wideCopy = _wgetenv(secretName);
    const std::size_t length = std::strlen(secret);
    const wchar_t* const block = processEnvironment();
    ASSERT_NE(block, nullptr);
    const std::size_t oldLength = blockLength(block);
    ASSERT_TRUE(holdsSecret(std::wstring_view(block, oldLength)));

    EXPECT_EQ(takeEnvironmentVariable("ZZZ_SONDREL_TEST_SECRET"), std::optional<std::string>(secret));

    EXPECT_EQ(GetEnvironmentVariableW(secretName, nullptr, 0), 0u);
    EXPECT_EQ(std::getenv("ZZZ_SONDREL_TEST_SECRET"), nullptr);
    // The whole extent the block had, past its new end too.
    const wchar_t* const after = processEnvironment();
    EXPECT_FALSE(holdsSecret(std::wstring_view(after, after == block ? oldLength : blockLength(after))));
    wchar_t* strings = GetEnvironmentStringsW();
    ASSERT_NE(strings, nullptr);
    EXPECT_FALSE(holdsSecret(std::wstring_view(strings, blockLength(strings))));
    FreeEnvironmentStringsW(strings);
    EXPECT_FALSE(entriesHoldSecret(_environ));
    EXPECT_FALSE(entriesHoldSecret(_wenviron));
    // Where the C library kept its copies: it frees them on removal, but freeing clears
    // nothing. Read like a memory dump would, only in this test.
    EXPECT_FALSE(holdsSecret(std::string_view(narrowCopy, length)));
    if (wideCopy) {
        EXPECT_FALSE(holdsSecret(std::wstring_view(wideCopy, length)));
    }
}

TEST(WindowsEnvironment, AMissingVariableIsNothing) {
    EXPECT_EQ(takeEnvironmentVariable("ZZZ_SONDREL_TEST_NEVER_SET"), std::nullopt);
}
