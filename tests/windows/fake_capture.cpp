// Stands in for sondrel-capture in the recorder's child-process tests: writes what it
// writes, in the Windows build's text mode (CR LF). The first argument picks the part:
//   talk   port line among library log lines, then an echo per command; "exit" ends
//          with the hidden line and status 0
//   args   the arguments as received, on standard error, then as talk
//   crash  an access violation before anything is written
//   stuck  the port line, then nothing: input is not read and nothing ends it
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    return result;
}

int talk() {
    std::cout << "[2026-01-01 10:00:00] [info] 音频" << std::endl;
    std::cout << "[2026-01-01 10:00:00] [frame_header] Header Bytes: " << std::endl;
    std::cout << std::endl;
    std::cout << "{ \"port\": 40001 }" << std::endl;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (!command.empty() && command.back() == '\r')
            command.pop_back();
        std::cout << "Getting command: " << command << std::endl;
        if (command == "exit") {
            std::cout << "{ \"event\": \"hidden\" }" << std::endl;
            return 0;
        }
    }
    return 5;
}

} // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::string mode = count > 1 ? utf8(arguments[1]) : "";
    if (mode == "crash") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    if (mode == "stuck") {
        std::cout << "{ \"port\": 40002 }" << std::endl;
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (mode == "args") {
        std::string line;
        for (int i = 1; i < count; ++i)
            line += (i > 1 ? "|" : "") + utf8(arguments[i]);
        std::cerr << line << std::endl;
    }
    LocalFree(arguments);
    return talk();
}
