// What a client may ask of its stream in the request path, and the one-line reason a
// request that cannot be served is refused with.
#include <gtest/gtest.h>

#include "handshake_request_for.h"
#include "origin_policy.h"
#include "stream_options.h"

namespace {

StreamOptions served(std::string_view uri) {
    const ParsedStreamOptions parsed = parseStreamOptions(uri);
    EXPECT_TRUE(parsed.ok()) << uri << ": " << parsed.problem;
    return parsed.options;
}

std::string problem(std::string_view uri) {
    const ParsedStreamOptions parsed = parseStreamOptions(uri);
    EXPECT_FALSE(parsed.ok()) << uri;
    return parsed.problem;
}

TEST(StreamOptions, AskingNothingIsTodaysStream) {
    const StreamOptions today{44100, SampleFormat::Float32, 512, Latency::Tick};
    for (const char* uri : {"/", "", "/anything/at/all", "/?", "/?token=abc", "/?x=1&y&=&&", "/#rate=1",
                            "/?token=abc#format=u8", "/?RATE=1&Format=u8", "/?rate_=1&xformat=u8"})
        EXPECT_EQ(served(uri), today) << uri;
}

TEST(StreamOptions, EveryKeyTakesEachOfItsValues) {
    for (int rate : {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000})
        EXPECT_EQ(served("/?rate=" + std::to_string(rate)).rate, rate);
    EXPECT_EQ(served("/?format=f32").format, SampleFormat::Float32);
    EXPECT_EQ(served("/?format=s16").format, SampleFormat::Int16);
    EXPECT_EQ(served("/?block=32").block, 32u);
    EXPECT_EQ(served("/?block=320").block, 320u);
    EXPECT_EQ(served("/?block=8192").block, 8192u);
    EXPECT_EQ(served("/?latency=low").latency, Latency::Low);

    const StreamOptions all = served("/path?token=abc&rate=16000&format=s16&block=320&latency=low&extra=1");
    EXPECT_EQ(all, (StreamOptions{16000, SampleFormat::Int16, 320, Latency::Low}));
    EXPECT_EQ(all.bytesPerSample(), 2u);
    EXPECT_EQ(served("/").bytesPerSample(), 4u);
}

TEST(StreamOptions, AnUnknownValueOfAKnownKeyIsRefusedWithItsReason) {
    EXPECT_EQ(problem("/?rate=12345"), "不支持的采样率: 12345");
    EXPECT_EQ(problem("/?rate="), "不支持的采样率: ");
    EXPECT_EQ(problem("/?rate"), "不支持的采样率: ");
    for (const char* rate : {"+16000", "-8000", "16000.0", "16k", " 16000", "0x3e80", "44100000000000000000"})
        EXPECT_EQ(problem(std::string("/?rate=") + rate), std::string("不支持的采样率: ") + rate);
    EXPECT_EQ(problem("/?format=u8"), "不支持的样本格式: u8");
    EXPECT_EQ(problem("/?format=S16"), "不支持的样本格式: S16");
    EXPECT_EQ(problem("/?block=0"), "不支持的块长度: 0");
    EXPECT_EQ(problem("/?block=31"), "不支持的块长度: 31");
    EXPECT_EQ(problem("/?block=8193"), "不支持的块长度: 8193");
    EXPECT_EQ(problem("/?block=512.5"), "不支持的块长度: 512.5");
    EXPECT_EQ(problem("/?latency=fast"), "不支持的延迟模式: fast");
    EXPECT_EQ(problem("/?latency="), "不支持的延迟模式: ");
    // The reason sits on one line of the log and of the answer, whatever the value held.
    EXPECT_EQ(problem("/?format=a\x01\\b"), "不支持的样本格式: a\\x01\\\\b");
    EXPECT_LT(problem("/?format=" + std::string(5000, 'x')).size(), 1200u);
}

TEST(StreamOptions, AKnownKeyGivenTwiceIsRefused) {
    EXPECT_EQ(problem("/?rate=16000&rate=16000"), "参数重复: rate");
    EXPECT_EQ(problem("/?format=s16&token=x&format=f32"), "参数重复: format");
    EXPECT_EQ(problem("/?block=320&block=320"), "参数重复: block");
    EXPECT_EQ(problem("/?latency=low&latency=low"), "参数重复: latency");
    // Only known keys count: a repeated token or unknown key is no business of ours.
    EXPECT_TRUE(parseStreamOptions("/?token=a&token=b&x=1&x=2").ok());
}

TEST(StreamOptions, TheFirstProblemIsTheOneNamed) {
    EXPECT_EQ(problem("/?format=u8&rate=12345"), "不支持的样本格式: u8");
    EXPECT_EQ(problem("/?rate=16000&rate=1&block=0"), "参数重复: rate");
}

} // namespace

namespace {

const std::string& token = testToken;

// A peer that may connect learns, in one line, what it asked wrongly; one that may not
// learns nothing about the options, only its refusal.
TEST(StreamOptions, AHandshakeAskingWhatCannotBeServedIsABadRequestOnceTheAccessRulesLetItIn) {
    const std::optional<HandshakeRefusal> refusal = judgeHandshake(requestFor("/?token=" + token + "&rate=12345"));
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 400);
    EXPECT_EQ(refusal->body, "不支持的采样率: 12345");
    EXPECT_EQ(refusal->header,
              std::make_pair(std::string("Content-Type"), std::string("text/plain; charset=utf-8")));
    EXPECT_EQ(refusal->warning, "拒绝无效的音频流参数: 不支持的采样率: 12345");
    EXPECT_EQ(refusal->kind, "拒绝无效的音频流参数");

    EXPECT_EQ(judgeHandshake(requestFor("/?token=" + token + "&rate=16000&format=s16&block=320&latency=low&x=1")),
              std::nullopt);

    const std::optional<HandshakeRefusal> wrongToken = judgeHandshake(requestFor("/?token=guess&rate=12345"));
    ASSERT_TRUE(wrongToken);
    EXPECT_EQ(wrongToken->status, 403);
    EXPECT_EQ(wrongToken->body, "");
    const std::optional<HandshakeRefusal> foreign =
        judgeHandshake(requestFor("/?token=" + token + "&format=u8", "https://example.com"));
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    EXPECT_EQ(foreign->body, "");
}

} // namespace
