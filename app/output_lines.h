#pragma once

#include <optional>
#include <string_view>

// Recognises the lines sondrel-capture writes to standard output, for its parents:
// the reference client and the tests. The writing side is stdout_lines.h.
namespace output_line {

// The WebSocket library's access-log entries begin with "["; their header dumps go on
// over further lines that also begin with "[" and end in an empty line. None of these
// belongs to the protocol, and no protocol line is empty or begins with "[".
bool isLibraryLog(std::string_view line);
inline bool isProtocol(std::string_view line) { return !isLibraryLog(line); }

// The port line, exactly "{ \"port\": N }": returns N (0 to 65535), else nothing.
std::optional<int> parsePort(std::string_view line);

bool isShown(std::string_view line);
// The last line of an orderly exit.
bool isHidden(std::string_view line);

// Lines read from a pipe on Windows end in CR LF; the CR is not part of the line.
std::string_view withoutCarriageReturn(std::string_view line);

} // namespace output_line
