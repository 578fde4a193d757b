#include "record_options.h"

#include <cmath>
#include <stdexcept>

namespace {

std::optional<double> parseNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(v))
            return std::nullopt;
        return v;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::string recordVersion() { return std::string("sondrel-record ") + SONDREL_VERSION + "\n"; }

std::string recordUsage() {
    return R"(Usage: sondrel-record [OPTIONS] OUTPUT.wav

Starts sondrel-capture, receives its audio over the WebSocket connection and
records it into OUTPUT.wav (mono, 44100 Hz, 32-bit float). Records for the given
number of seconds, or until Ctrl+C; either way the file's sizes are set, "exit"
is sent to sondrel-capture and a summary is printed.

Options:
  -d, --duration SECONDS   length of the recording (default: until Ctrl+C)
      --show               open sondrel-capture's settings window while recording
      --capture PATH       the sondrel-capture program (default: next to this one)
      --settings PATH      settings file for sondrel-capture (default: sondrel-settings.json)
      --log PATH           log file for sondrel-capture (default: sondrel-capture.log)
      --port-timeout S     seconds to wait for the port line (default: 60)
      --audio-timeout S    seconds without audio before giving up (default: 5)
      --exit-timeout S     seconds to wait for sondrel-capture to exit (default: 5)
      --gap-threshold MS   lateness that counts as a gap (default: 150)
  -q, --quiet              no progress display
  -v, --verbose            copy sondrel-capture's protocol lines to standard error
  -h, --help               this text
      --version            print the version and exit

Gaps: for every audio message, lag = arrival time - (samples received before
it / 44100 Hz). The smallest lag so far is the reference; a message whose lag
exceeds the reference by more than the threshold is counted as a gap, and the
reference is reset to it (lost time is not made up), so one interruption counts
once. The server sends every 50 ms, so normal lags stay within about 62 ms.

Exit status: 0 when the recording ended as asked (also by Ctrl+C) and
sondrel-capture exited with status 0; 1 on any failure, with a one-line reason and
the last lines of sondrel-capture's log on standard error; 2 on a usage error.
)";
}

ParsedOptions parseRecordOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    RecordOptions& o = parsed.options;
    auto fail = [&parsed](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        auto seconds = [&](double& out, double minimum) {
            std::string text;
            if (!value(text))
                return false;
            auto v = parseNumber(text);
            if (!v || *v < minimum || *v > 1e7)
                return false;
            out = *v;
            return true;
        };
        auto millis = [&](std::chrono::milliseconds& out, double scale) {
            double v = 0;
            if (!seconds(v, 0.0) || v <= 0.0)
                return false;
            out = std::chrono::milliseconds(static_cast<long long>(std::llround(v * scale)));
            return out.count() > 0;
        };

        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-d" || a == "--duration") {
            if (!seconds(o.seconds, 0.0))
                return fail(a + " needs a number of seconds (0 or more)");
        } else if (a == "--show") {
            o.show = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "--capture") {
            if (!value(o.capturePath))
                return fail(a + " needs a path");
        } else if (a == "--settings") {
            if (!value(o.settingsPath))
                return fail(a + " needs a path");
        } else if (a == "--log") {
            if (!value(o.logPath))
                return fail(a + " needs a path");
        } else if (a == "--port-timeout") {
            if (!millis(o.portTimeout, 1000.0))
                return fail(a + " needs a positive number of seconds");
        } else if (a == "--audio-timeout") {
            if (!millis(o.audioTimeout, 1000.0))
                return fail(a + " needs a positive number of seconds");
        } else if (a == "--exit-timeout") {
            if (!millis(o.exitTimeout, 1000.0))
                return fail(a + " needs a positive number of seconds");
        } else if (a == "--gap-threshold") {
            if (!millis(o.gapThreshold, 1.0))
                return fail(a + " needs a positive number of milliseconds");
        } else if (a.size() > 1 && a[0] == '-') {
            return fail("unknown option " + a);
        } else if (o.output.empty()) {
            o.output = a;
        } else {
            return fail("only one output file can be given");
        }
    }
    if (!o.help && !o.version && o.output.empty())
        return fail("no output file given");
    return parsed;
}
