// The token a parent may require of its clients: what counts as a token, where a
// handshake carries it, and that comparing it says nothing about a wrong guess.
#include <gtest/gtest.h>

#include "handshake_request_for.h"
#include "origin_policy.h"

namespace {

const std::string& token = testToken;

TEST(Token, AtLeast32CharactersOfBase64Url) {
    EXPECT_EQ(tokenProblem(token), std::nullopt);
    EXPECT_EQ(tokenProblem(std::string(32, 'x')), std::nullopt);
    EXPECT_EQ(tokenProblem(std::string(31, 'x')), "只有 31 个字符, 至少需要 32 个");
    EXPECT_EQ(tokenProblem(""), "只有 0 个字符, 至少需要 32 个");
    // The text names the place, never the token's characters.
    EXPECT_EQ(tokenProblem(std::string(40, 'x') + "+"), "第 41 个字符不是字母、数字、\"_\" 或 \"-\"");
    for (const char* bad : {"=", "/", "%", " ", "&", "#", "\xc3\xa9", "\n"}) {
        const std::optional<std::string> problem = tokenProblem(std::string(35, 'a') + bad);
        ASSERT_TRUE(problem) << bad;
        EXPECT_EQ(problem->find(std::string(35, 'a')), std::string::npos);
    }
}

TEST(Token, IsTheQueryParameterNamedToken) {
    EXPECT_EQ(tokenInUri("/?token=abc"), "abc");
    EXPECT_EQ(tokenInUri("/path?x=1&token=abc&y=2"), "abc");
    EXPECT_EQ(tokenInUri("/?token=abc#token=def"), "abc");
    EXPECT_EQ(tokenInUri("/?token=first&token=second"), "first");
    EXPECT_EQ(tokenInUri("/?token="), "");
    EXPECT_EQ(tokenInUri("/"), std::nullopt);
    EXPECT_EQ(tokenInUri("/token=abc"), std::nullopt);
    EXPECT_EQ(tokenInUri("/?mytoken=abc"), std::nullopt);
    EXPECT_EQ(tokenInUri("/?xtoken=abc&tokens=def"), std::nullopt);
    EXPECT_EQ(tokenInUri("/#?token=abc"), std::nullopt);
}

TEST(Token, MatchesOnlyWhenEqual) {
    EXPECT_TRUE(tokensMatch(token, token));
    EXPECT_FALSE(tokensMatch(token, token.substr(0, token.size() - 1)));
    EXPECT_FALSE(tokensMatch(token, token + "x"));
    EXPECT_FALSE(tokensMatch(token, ""));
    EXPECT_FALSE(tokensMatch("", ""));
    std::string lastDiffers = token;
    lastDiffers.back() = '+';
    EXPECT_FALSE(tokensMatch(token, lastDiffers));
    std::string firstDiffers = token;
    firstDiffers.front() = 'A';
    EXPECT_FALSE(tokensMatch(token, firstDiffers));
    // A guess padded with NUL bytes must not pass for a shorter token's end.
    EXPECT_FALSE(tokensMatch(token, token + std::string(1, '\0')));
}

TEST(Token, HandshakeWithoutTheRightTokenIsForbidden) {
    for (const std::string& uri : {std::string("/"), std::string("/?token="), "/?token=" + token.substr(0, 32),
                                   "/?token=" + token + "x", "/?other=" + token, "/" + token}) {
        const std::optional<HandshakeRefusal> refusal = judgeHandshake(requestFor(uri));
        ASSERT_TRUE(refusal) << uri;
        EXPECT_EQ(refusal->status, 403) << uri;
        EXPECT_EQ(refusal->warning, "拒绝令牌不符的连接") << uri;
        EXPECT_EQ(refusal->kind, refusal->warning);
    }
    const std::string right = "/?token=" + token;
    EXPECT_EQ(judgeHandshake(requestFor(right)), std::nullopt);
    EXPECT_EQ(judgeHandshake(requestFor("/audio?a=b&token=" + token + "#x")), std::nullopt);
    // Without a token of ours any path is accepted, as it always was.
    HandshakeRequest open = requestFor("/anything?token=whatever");
    open.expectedToken = {};
    EXPECT_EQ(judgeHandshake(open), std::nullopt);
}

// The token does not stand in for the other checks.
TEST(Token, RightTokenFromAForeignPageIsStillRefused) {
    const std::string right = "/?token=" + token;
    HandshakeRequest request = requestFor(right);
    request.origin = "https://evil.example";
    const std::optional<HandshakeRefusal> refusal = judgeHandshake(request);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->kind, "拒绝来自外部网页的连接");
}

TEST(Token, HiddenInLinesThatQuoteARequestPath) {
    EXPECT_EQ(withTokensHidden("WebSocket Connection 127.0.0.1:5 v13 \"\" /?token=" + token + " 101"),
              "WebSocket Connection 127.0.0.1:5 v13 \"\" /?token=*** 101");
    EXPECT_EQ(withTokensHidden("/?a=1&token=" + token + "&b=2 and /?token=x#f"),
              "/?a=1&token=***&b=2 and /?token=***#f");
    EXPECT_EQ(withTokensHidden("no token here"), "no token here");
    EXPECT_EQ(withTokensHidden("token="), "token=***");
}

} // namespace
