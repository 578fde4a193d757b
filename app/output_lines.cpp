#include "output_lines.h"

namespace output_line {

bool isLibraryLog(std::string_view line) { return line.empty() || line.front() == '['; }

std::optional<int> parsePort(std::string_view line) {
    constexpr std::string_view head = "{ \"port\": ";
    constexpr std::string_view tail = " }";
    if (line.size() <= head.size() + tail.size() || !line.starts_with(head) || !line.ends_with(tail))
        return std::nullopt;
    const std::string_view digits = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (digits.size() > 5 || (digits.size() > 1 && digits[0] == '0'))
        return std::nullopt;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return value;
}

bool isShown(std::string_view line) { return line == "{ \"event\": \"shown\" }"; }

bool isHidden(std::string_view line) { return line == "{ \"event\": \"hidden\" }"; }

std::string_view withoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace output_line
