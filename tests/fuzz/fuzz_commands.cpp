// Whatever a parent or a client sends becomes a command: run arbitrary bytes through
// the same path as standard input (trim, queue, match) and check what must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "command_queue.h"
#include "command_words.h"
#include "quoted_text.h"
#include "stdin_channel.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CommandQueue queue;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string trimmed = trimCommand(text);

    // Trimming removes exactly the white space at both ends and nothing else.
    if (!trimmed.empty() && (isSpace(trimmed.front()) || isSpace(trimmed.back())))
        std::abort();
    if (text.find(trimmed) == std::string::npos)
        std::abort();

    queue.push(trimmed);
    queue.push(text);
    if (queue.tryPop() != trimmed || queue.tryPop() != text || !queue.empty())
        std::abort();

    // A word is recognised exactly when the bytes are the word; "select" may carry the
    // rest of the line after one space.
    const CommandWord word = matchCommand(trimmed);
    const bool isWord = trimmed == "show" || trimmed == "hide" || trimmed == "exit" || trimmed == "connected" ||
                        trimmed == "disconnected" || trimmed == "devices" || trimmed == "watch" ||
                        trimmed == "select" || trimmed.rfind("select ", 0) == 0;
    if (isWord != (word != CommandWord::Unrecognised))
        std::abort();
    if (word == CommandWord::Select && std::string("select ") + std::string(selectArgument(trimmed)) != trimmed &&
        trimmed != "select")
        std::abort();

    // Its echo is one line however it was made up, and bounded.
    const std::string quoted = quoteText(text);
    for (char c : quoted)
        if (static_cast<unsigned char>(c) < 0x20)
            std::abort();
    if (quoted.size() > 4 * quotedTextLimit + 32)
        std::abort();
    // Text without control bytes or backslashes is echoed as it is.
    bool plain = text.size() <= quotedTextLimit;
    for (char c : text)
        plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != '\\';
    if (plain && quoted != text)
        std::abort();
    return 0;
}
