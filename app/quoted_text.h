#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text that a parent or a client supplied, quoted inside one line of our own output
// (an echo on standard output, a log line). Whatever it holds, it must stay on that
// line: nobody may be able to forge a protocol line or a log line by sending one.

// Control bytes of the C0 range become "\r", "\n" or "\xNN" (two upper-case hex
// digits), and a backslash becomes "\\", so the escaped text can always be read back
// unambiguously. Everything else, printable ASCII and UTF-8 alike, is kept as it is,
// so a command word reads the same escaped or not.
std::string escapeControlBytes(std::string_view text);

// How much of a payload an echo or log line carries.
constexpr std::size_t quotedTextLimit = 1024;

// escapeControlBytes of the text; text longer than quotedTextLimit bytes is cut (at a
// UTF-8 character boundary where there is one) and ends in "…(N bytes)" with N the
// whole length, so a client cannot flood standard output or the log with one message.
std::string quoteText(std::string_view text);

// A log entry of the WebSocket library, which may quote what a peer sent (a user
// agent, a resource path), confined to the shape parents rely on: every line begins
// with "[" or is empty. A carriage return becomes "\r" and a line feed that would
// start any other line becomes "\n"; entries that already have that shape are kept.
std::string confineLibraryEntry(std::string_view entry);
