// The Windows process glue: UTF-8 paths reach the file system as the characters they
// spell, whatever the system code page; console events are counted as stop requests;
// the parent is watched through a handle.
#include "process_platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>

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
