#include "stdout_lines.h"

#include <atomic>
#include <string>

namespace {

const std::string hiddenLine = "{ \"event\": \"hidden\" }";

// Set once the shown line is written, cleared when the hidden line is handed to the
// stream: the window's last word to the parent must be "hidden".
std::atomic<bool> hiddenLineOwed{false};

} // namespace

void writeStdoutLine(std::string_view text, Flush flush) { standardOutput().writeLine(text, flush); }

void writePortLine(int port) { writeStdoutLine("{ \"port\": " + std::to_string(port) + " }"); }

void writeShownLine() {
    writeStdoutLine("{ \"event\": \"shown\" }");
    hiddenLineOwed = true;
}

void writeHiddenLine() {
    hiddenLineOwed = false;
    writeStdoutLine(hiddenLine);
}

void writeErrorLine(unsigned long code) { writeStdoutLine("{ \"error\": \"" + std::to_string(code) + "\" }"); }

void finishStandardStreamsWithOwedHiddenLine() {
    if (hiddenLineOwed.exchange(false))
        writeStdoutLine(hiddenLine);
    finishStandardStreams();
}
