#pragma once

#include <iosfwd>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>

// Standard output is shared by the protocol lines (main thread) and the WebSocket
// library's access log (server threads). Every writer goes through one lock, so no
// two lines are ever interleaved.
std::mutex& stdoutMutex();

// Writes text and a line feed to std::cout under the lock; flushes when asked.
void writeStdoutLine(std::string_view text, bool flush = true);

// The fixed protocol lines.
void writePortLine(int port);
void writeShownLine();
void writeHiddenLine();
void writeErrorLine(unsigned long code);

// For an exit that cannot wait: when a shown line has not been answered by a hidden line
// yet, writes the hidden line without waiting (see writeStandardOutputNow). Any thread;
// standard output stays locked afterwards, so call it only right before the process ends.
void writeOwedHiddenLineNow();

// A stream buffer that collects what a library logger writes and hands each entry
// whole to the target stream when the logger flushes, under the stdout lock.
// Used by one logger at a time (the library serialises its own entries).
class LockedEntryBuf : public std::streambuf {
public:
    explicit LockedEntryBuf(std::ostream& target);

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    std::ostream& target;
    std::string pending;
};
