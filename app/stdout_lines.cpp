#include "stdout_lines.h"

#include <iostream>
#include <string>

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

void writeShownLine() { writeStdoutLine("{ \"event\": \"shown\" }"); }

void writeHiddenLine() { writeStdoutLine("{ \"event\": \"hidden\" }"); }

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
