#include <gtest/gtest.h>

#include "origin_policy.h"

namespace {

TEST(OriginCheck, AcceptsNativeClientsFilesAndInstalledApps) {
    for (const char* origin : {"", "file://", "file:///home/user/page.html", "FILE://", "chrome-extension://x",
                               "moz-extension://abc-def", "app://local", "vscode-webview://123"})
        EXPECT_FALSE(isForeignWebOrigin(origin)) << origin;
}

// Browsers send "null" for sandboxed frames, data: URLs and redirects across origins:
// any web site can produce it, so it is refused like a remote page.
TEST(OriginCheck, RefusesOpaqueOrigins) {
    for (const char* origin : {"null", "NULL", "Null", "data:text/html,x", "about:blank", "localhost", "x",
                               "://localhost", "1http://localhost", "ht tp://localhost", "http:x://localhost",
                               "file://, null", "null http://localhost"})
        EXPECT_TRUE(isForeignWebOrigin(origin)) << origin;
}

TEST(OriginCheck, AcceptsLoopbackWebOrigins) {
    for (const char* origin :
         {"http://localhost", "http://localhost:3000", "https://localhost:8443", "ws://localhost",
          "wss://localhost:1", "HTTP://LOCALHOST:3000", "http://LocalHost", "http://localhost.:3000",
          "http://127.0.0.1", "http://127.0.0.1:8080", "http://127.1.2.3:80", "http://127.255.255.255",
          "http://[::1]:5173", "http://[::1]", "http://[0:0:0:0:0:0:0:1]:80", "http://[::ffff:127.0.0.1]",
          "http://localhost:3000/", "http://localhost/path?q#f"})
        EXPECT_FALSE(isForeignWebOrigin(origin)) << origin;
}

TEST(OriginCheck, RefusesRemoteWebOrigins) {
    for (const char* origin : {"http://evil.example", "https://example.com:443", "ws://192.168.1.1",
                               "wss://10.0.0.1:443", "HTTPS://EXAMPLE.COM", "http://[2001:db8::1]:80",
                               "http://[::]", "http://0.0.0.0", "http://128.0.0.1", "http://126.0.0.1"})
        EXPECT_TRUE(isForeignWebOrigin(origin)) << origin;
}

TEST(OriginCheck, RefusesHostsThatOnlyLookLocal) {
    for (const char* origin : {"http://127.0.0.1.evil.com",
                               "http://localhost@evil.com",
                               "http://localhost:80@evil.com",
                               "http://localhost.evil.com",
                               "http://evil.com#@localhost",
                               "http://evillocalhost",
                               "http://sub.localhost",
                               "http://localhost..",
                               "http://127.0.0.1:80abc",
                               "http://localhost:-1",
                               "http://[::1",
                               "http://[::1]x",
                               "http://[::1]evil.com",
                               "http://127.0.0",
                               "http://127.0.0.1.1",
                               "http://127.0.0.256",
                               "http://127.000.0.1",
                               "http://0x7f.0.0.1",
                               "http://2130706433",
                               "http://127.0.0.1%2eevil.com",
                               "http://",
                               "http:",
                               "http:localhost",
                               "https:/localhost"})
        EXPECT_TRUE(isForeignWebOrigin(origin)) << origin;
}

TEST(OriginCheck, ListedOriginsMustAllBeLocal) {
    EXPECT_FALSE(isForeignWebOrigin("http://localhost:3000 http://127.0.0.1"));
    EXPECT_TRUE(isForeignWebOrigin("http://localhost:3000, http://evil.example"));
    EXPECT_TRUE(isForeignWebOrigin("http://evil.example http://localhost"));
}

} // namespace
