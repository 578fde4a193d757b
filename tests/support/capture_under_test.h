#pragma once

#include <csignal>
#include <string>
#include <vector>

// The sondrel-capture that the process-level tests start (SONDREL_CAPTURE_PATH): this
// build's own, or the Windows build run through Wine (tools/run-tests.sh, stage windows).
namespace capture_under_test {

inline constexpr bool isWindows = SONDREL_CAPTURE_WINDOWS != 0;

// The stop request a parent sends besides "exit". Windows has no SIGTERM: under Wine it
// ends the process at once (no hidden line, log lost), while SIGINT arrives as the
// Ctrl+C console event, the one Windows parents send.
inline int stopSignal() { return isWindows ? SIGINT : SIGTERM; }

// The line end of its standard output and its text files (log, settings).
inline const char* lineEnd() { return isWindows ? "\r\n" : "\n"; }

// A text file it wrote, with its line ends read back as line feeds.
inline std::string text(const std::string& bytes) {
    if (!isWindows)
        return bytes;
    std::string result;
    result.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        result.push_back(bytes[i]);
    }
    return result;
}

// The host-API type of PortAudio's first host API, which a first run selects: MME on
// Windows, ALSA on Linux.
inline constexpr int firstHostApiType = isWindows ? 2 : 8;

// Under Wine the owner of a Linux client's socket is not to be found (the evidence is in
// tests/reliability/who_may_connect_test.cpp), so the Windows build would refuse the
// tests' Linux clients: it runs with the token that WsTestClient presents. The Linux
// build runs without one and so checks that each client is our own user.
inline std::vector<std::string> environment(const std::string& token) {
    if (!isWindows)
        return {};
    return {"SONDREL_CAPTURE_TOKEN=" + token};
}

} // namespace capture_under_test
