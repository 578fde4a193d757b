// The Windows process glue: UTF-8 paths reach the file system as the characters they
// spell, whatever the system code page.
#include "process_platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

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
