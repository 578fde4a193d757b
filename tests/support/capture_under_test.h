#pragma once

#include <csignal>
#include <string>
#include <vector>

// The sondrel-capture that the process-level tests start: SONDREL_CAPTURE_UNDER_TEST
// when it is set (an older build, or the Windows build's .exe, which runs under Wine),
// otherwise this build's own. The programs that go with it (the recorder, Wine's
// launcher, the Windows probes) are found beside it unless the environment names them;
// see tests/README.md.
namespace capture_under_test {

// The program itself, as a path of this machine.
const std::string& path();

// A Windows program, started through Wine (its name ends in .exe).
bool isWindows();

// The command line that starts it with `arguments`: under Wine through the launcher.
std::vector<std::string> command(const std::vector<std::string>& arguments = {});

// The sondrel-record that goes with it (SONDREL_RECORD_UNDER_TEST, or the one beside it),
// started the same way. It is given path() as its --capture: a Windows recorder starts
// the .exe itself, as a Windows child.
std::vector<std::string> recordCommand(const std::vector<std::string>& arguments = {});

// Wine's launcher for the programs of the Windows build (SONDREL_WINE_RUN, or wine-run
// in the .exe's folder, where the cross build writes it).
std::string wineRun();

// A Windows helper program of the cross build's tests (tests/windows), started through
// wineRun(): `variable` names it in the environment, otherwise it is found in the .exe's
// folder under tests/windows.
std::vector<std::string> windowsHelper(const std::string& variable, const std::string& name);

// The stop request a parent sends besides "exit". Windows has no SIGTERM: under Wine it
// ends the process at once (no hidden line, log lost), while SIGINT arrives as the
// Ctrl+C console event, the one Windows parents send.
inline int stopSignal() { return isWindows() ? SIGINT : SIGTERM; }

// The line end of its standard output and its text files (log, settings).
inline const char* lineEnd() { return isWindows() ? "\r\n" : "\n"; }

// A text file it wrote, with its line ends read back as line feeds.
inline std::string text(const std::string& bytes) {
    if (!isWindows())
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
inline int firstHostApiType() { return isWindows() ? 2 : 8; }

// Under Wine the owner of a Linux client's socket is not to be found (the evidence is in
// tests/reliability/who_may_connect_test.cpp), so the Windows build would refuse the
// tests' Linux clients: it runs with the token that WsTestClient presents. The Linux
// build runs without one and so checks that each client is our own user.
inline std::vector<std::string> environment(const std::string& token) {
    if (!isWindows())
        return {};
    return {"SONDREL_CAPTURE_TOKEN=" + token};
}

} // namespace capture_under_test
