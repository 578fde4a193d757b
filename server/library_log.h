#pragma once

#include <streambuf>
#include <string>

#include "stream_writer.h"

// A stream buffer for a library logger: collects what the logger writes and hands
// each entry, confined to lines that begin with "[" (confineLibraryEntry), to a
// StreamWriter when the logger flushes. One logger at a time (the library serialises
// its own entries).
class LibraryLogBuf : public std::streambuf {
public:
    explicit LibraryLogBuf(StreamWriter& target) : target(target) {}

    // From now on the values of "token=" parameters in entries are replaced by "***":
    // the access log quotes each request's path. Before the logger's first entry.
    void hideTokens() { tokensHidden = true; }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    StreamWriter& target;
    std::string pending;
    bool tokensHidden = false;
};
