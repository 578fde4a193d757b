#include "quoted_text.h"

namespace {

void appendEscaped(std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789ABCDEF";
    switch (c) {
    case '\r':
        out += "\\r";
        break;
    case '\n':
        out += "\\n";
        break;
    case '\\':
        out += "\\\\";
        break;
    default:
        if (c < 0x20) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
}

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

} // namespace

std::string escapeControlBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        appendEscaped(out, static_cast<unsigned char>(c));
    return out;
}

std::string quoteText(std::string_view text) {
    if (text.size() <= quotedTextLimit)
        return escapeControlBytes(text);
    // Back up to the start of a UTF-8 sequence, but never by more than one sequence:
    // bytes that are not UTF-8 are cut where the limit falls.
    std::size_t cut = quotedTextLimit;
    for (std::size_t back = 0; back < 3 && isContinuationByte(static_cast<unsigned char>(text[cut])); ++back)
        --cut;
    if (isContinuationByte(static_cast<unsigned char>(text[cut])))
        cut = quotedTextLimit;
    return escapeControlBytes(text.substr(0, cut)) + "…(" + std::to_string(text.size()) + " bytes)";
}

std::string confineLibraryEntry(std::string_view entry) {
    std::string out;
    out.reserve(entry.size());
    for (std::size_t i = 0; i < entry.size(); ++i) {
        const char c = entry[i];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n' && i + 1 < entry.size() && entry[i + 1] != '[' && entry[i + 1] != '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}
