#include "program_info.h"

namespace {

constexpr const char* usage = R"(Usage: sondrel-capture [SETTINGS_PATH [LOG_PATH]]
       sondrel-capture --help | --version

Captures one audio input device and streams it, mono 32-bit float at 44100 Hz, to a
WebSocket client on 127.0.0.1, as binary messages of 512 little-endian samples. It is
meant to be started by an application as its child process.

  SETTINGS_PATH  JSON settings file: read at start, rewritten after every start of
                 capture (the device, sample rate and buffer size chosen)
  LOG_PATH       diagnostic log, truncated at start; used only when exactly these two
                 arguments are given

Standard output: the first protocol line is { "port": N }, the port to connect to
(ws://127.0.0.1:N/); lines beginning with "[" are the WebSocket library's log. Keep
reading standard output for the whole life of the process.

Commands, one per write on standard input or one per WebSocket message:
  show, hide            open or close the settings window
  connected, disconnected
                        start or stop feeding audio to the client
  exit                  end in order (SIGINT and SIGTERM do the same); exit status 0

Without a usable input device it exits with status 1 before the port line; the log
says why. See sondrel-capture(1) and /usr/share/doc/sondrel-capture/protocol.md.
)";

} // namespace

std::optional<std::string> informationRequested(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2)
        return std::nullopt;
    if (arguments[1] == "--version")
        return std::string("sondrel-capture ") + SONDREL_VERSION + "\n";
    if (arguments[1] == "--help")
        return std::string(usage);
    return std::nullopt;
}
