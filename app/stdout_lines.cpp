#include "stdout_lines.h"

#include <atomic>
#include <iostream>
#include <string>

#include "process_platform.h"

namespace {

const std::string hiddenLine = "{ \"event\": \"hidden\" }";

// Set once the shown line is written, cleared when the hidden line is handed to the
// stream: the window's last word to the parent must be "hidden".
std::atomic<bool> hiddenLineOwed{false};

} // namespace

std::mutex& stdoutMutex() {
    static std::mutex mutex;
    return mutex;
}

void writeStdoutLine(std::string_view text, bool flush) {
    std::lock_guard<std::mutex> guard(stdoutMutex());
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.put('\n');
    if (flush)
        std::cout.flush();
}

void writePortLine(int port) {
    writeStdoutLine("{ \"port\": " + std::to_string(port) + " }");
}

void writeShownLine() {
    writeStdoutLine("{ \"event\": \"shown\" }");
    hiddenLineOwed = true;
}

void writeHiddenLine() {
    hiddenLineOwed = false;
    writeStdoutLine(hiddenLine);
}

void writeOwedHiddenLineNow() {
    if (!hiddenLineOwed.exchange(false))
        return;
    // Whoever holds the lock may be stuck in the middle of a line: start a new one (an
    // empty line is skipped by parents, like the library's log lines). Holding it
    // ourselves keeps further lines from following ours.
    std::unique_lock<std::mutex> guard(stdoutMutex(), std::try_to_lock);
    writeStandardOutputNow(guard.owns_lock() ? hiddenLine + "\n" : "\n" + hiddenLine + "\n");
    if (guard.owns_lock())
        guard.release(); // the process ends now; nothing may write after this line
}

void writeErrorLine(unsigned long code) {
    writeStdoutLine("{ \"error\": \"" + std::to_string(code) + "\" }");
}

LockedEntryBuf::LockedEntryBuf(std::ostream& target) : target(target) {}

LockedEntryBuf::int_type LockedEntryBuf::overflow(int_type ch) {
    if (!traits_type::eq_int_type(ch, traits_type::eof()))
        pending.push_back(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
}

std::streamsize LockedEntryBuf::xsputn(const char* s, std::streamsize n) {
    pending.append(s, static_cast<std::size_t>(n));
    return n;
}

int LockedEntryBuf::sync() {
    if (pending.empty())
        return 0;
    std::lock_guard<std::mutex> guard(stdoutMutex());
    target.write(pending.data(), static_cast<std::streamsize>(pending.size()));
    target.flush();
    pending.clear();
    return 0;
}
