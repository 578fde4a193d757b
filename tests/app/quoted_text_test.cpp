#include "quoted_text.h"

#include <gtest/gtest.h>

#include <string>

#include "output_lines.h"

namespace {

// Undoes escapeControlBytes; fails the test on anything it could not have produced.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        EXPECT_LT(i + 1, text.size()) << "dangling backslash in " << text;
        char kind = text[++i];
        if (kind == 'r') {
            out += '\r';
        } else if (kind == 'n') {
            out += '\n';
        } else if (kind == '\\') {
            out += '\\';
        } else {
            EXPECT_EQ(kind, 'x') << text;
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

} // namespace

TEST(EscapeControlBytes, KeepsCommandWordsAndPrintableUtf8AsTheyAre) {
    for (const char* text : {"show", "hide", "exit", "connected", "disconnected", "", "Hide me 隐藏 ½ \x7F",
                             "{ \"event\": \"hidden\" }", "\xFF\xFE invalid \xC0\xAF"})
        EXPECT_EQ(escapeControlBytes(text), text);
}

TEST(EscapeControlBytes, LineBreaksAndOtherControlBytesCannotStartALine) {
    EXPECT_EQ(escapeControlBytes("zz\n{ \"event\": \"hidden\" }\n{ \"port\": 1 }"),
              "zz\\n{ \"event\": \"hidden\" }\\n{ \"port\": 1 }");
    EXPECT_EQ(escapeControlBytes("a\r\nb"), "a\\r\\nb");
    EXPECT_EQ(escapeControlBytes(std::string("\0\x01\t\x0B\x0C\x1B\x1F", 7)),
              "\\x00\\x01\\x09\\x0B\\x0C\\x1B\\x1F");
    // The backslash itself is escaped, so a literal "\n" typed by someone stays
    // distinguishable from a line feed.
    EXPECT_EQ(escapeControlBytes("a\\nb"), "a\\\\nb");
    EXPECT_NE(escapeControlBytes("a\\nb"), escapeControlBytes("a\nb"));
}

TEST(EscapeControlBytes, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string escaped = escapeControlBytes(all + all);
    for (char c : escaped)
        ASSERT_GE(static_cast<unsigned char>(c), 0x20u);
    EXPECT_EQ(unescape(escaped), all + all);
}

TEST(QuoteText, ShortTextIsOnlyEscaped) {
    EXPECT_EQ(quoteText("show"), "show");
    EXPECT_EQ(quoteText(std::string(quotedTextLimit, 'a')), std::string(quotedTextLimit, 'a'));
    EXPECT_EQ(quoteText("x\ny"), "x\\ny");
}

TEST(QuoteText, LongTextIsCutAndSaysHowLongItWas) {
    EXPECT_EQ(quoteText(std::string(quotedTextLimit + 1, 'a')),
              std::string(quotedTextLimit, 'a') + "…(1025 bytes)");
    std::string big(33'000'000, '\n');
    std::string quoted = quoteText(big);
    EXPECT_EQ(quoted.size(), 2 * quotedTextLimit + std::string("…(33000000 bytes)").size());
    EXPECT_TRUE(quoted.ends_with("\\n…(33000000 bytes)"));
}

TEST(QuoteText, CutsAtACharacterBoundary) {
    // "隐" is three bytes; place it across the limit in each possible way.
    for (std::size_t before = quotedTextLimit - 2; before <= quotedTextLimit; ++before) {
        std::string text = std::string(before, 'a') + "隐" + std::string(100, 'b');
        std::string quoted = quoteText(text);
        std::string kept = quoted.substr(0, quoted.find("…("));
        if (before + 3 <= quotedTextLimit)
            EXPECT_EQ(kept, std::string(before, 'a') + "隐") << before;
        else
            EXPECT_EQ(kept, std::string(before, 'a')) << before;
    }
    // Not UTF-8 at all: cut where the limit falls.
    std::string continuation(quotedTextLimit + 10, '\x80');
    EXPECT_EQ(quoteText(continuation).find("…("), quotedTextLimit);
}

TEST(ConfineLibraryEntry, KeepsTheLibrarysOwnShape) {
    const std::string dump = "[2026-12-09 10:00:23] [frame_header] Header Bytes: \n[0] (4) 82 7E 08 00 \n\n";
    EXPECT_EQ(confineLibraryEntry(dump), dump);
    const std::string connect =
        "[2026-12-09 10:00:23] [connect] WebSocket Connection 127.0.0.1:5 v13 \"\" / 101\n";
    EXPECT_EQ(confineLibraryEntry(connect), connect);
}

TEST(ConfineLibraryEntry, EveryLineOfAForgedEntryIsLibraryLog) {
    const std::string forged =
        "[2026-12-09 10:00:23] [fail] WebSocket Connection 127.0.0.1:5 v13 \"x\n"
        "{ \"event\": \"hidden\" }\r{ \"port\": 1 }\n\n[ok\nGetting command: exit\" / 400\n";
    const std::string confined = confineLibraryEntry(forged);
    EXPECT_EQ(confined.find('\r'), std::string::npos);
    std::size_t start = 0;
    for (std::size_t end; (end = confined.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(confined.data() + start, end - start);
        EXPECT_TRUE(output_line::isLibraryLog(line)) << line;
    }
    EXPECT_EQ(start, confined.size());
    EXPECT_NE(confined.find("\"x\\n{ \"event\": \"hidden\" }\\r{ \"port\": 1 }\n\n[ok\\nGetting command"),
              std::string::npos)
        << confined;
}
