#include "library_log.h"

#include "origin_policy.h"
#include "quoted_text.h"

LibraryLogBuf::int_type LibraryLogBuf::overflow(int_type ch) {
    if (!traits_type::eq_int_type(ch, traits_type::eof()))
        pending.push_back(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
}

std::streamsize LibraryLogBuf::xsputn(const char* s, std::streamsize n) {
    pending.append(s, static_cast<std::size_t>(n));
    return n;
}

int LibraryLogBuf::sync() {
    if (pending.empty())
        return 0;
    target.writeLibraryEntry(confineLibraryEntry(tokensHidden ? withTokensHidden(pending) : pending));
    pending.clear();
    return 0;
}

LibraryLogs::LibraryLogs(bool tokensInPaths) {
    if (tokensInPaths)
        accessBuf.hideTokens();
    failureLog.set_channels(websocketpp::log::alevel::fail);
}

void LibraryLogs::writeFailure(const std::optional<std::string>& line) {
    if (line)
        failureLog.write(websocketpp::log::alevel::fail, *line);
}
