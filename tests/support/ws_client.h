#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// The token the process-level tests give a capture that cannot tell who its peers are
// (the Windows build under Wine, see capture_under_test.h). WsTestClient presents it by
// default; a capture started without a token ignores it.
inline const std::string testClientToken = "sondrel-test-token_0123456789abcdefghijklmnop";

// A WebSocket client for tests, with its own network thread. Every wait has a time-out;
// the destructor stops the network thread without waiting for the server.
class WsTestClient {
public:
    struct Message {
        bool binary = false;
        std::string payload;
        std::chrono::steady_clock::time_point received;
    };

    WsTestClient();
    ~WsTestClient();
    WsTestClient(const WsTestClient&) = delete;
    WsTestClient& operator=(const WsTestClient&) = delete;

    // Opens ws://host:port + resource, with an Origin header when origin is not empty,
    // and waits until the handshake has succeeded or failed. True when the connection is
    // open.
    bool connect(int port, std::chrono::milliseconds timeout, const std::string& origin = {},
                 const std::string& host = "127.0.0.1",
                 const std::string& resource = "/?token=" + testClientToken);
    // HTTP status of the server's answer to the handshake (101 when opened), 0 if none.
    int handshakeStatus() const;

    bool sendText(const std::string& text);
    bool sendBinary(const std::string& bytes);

    // Sends a close frame and waits for the connection to end.
    bool close(std::chrono::milliseconds timeout);
    // Waits for the connection to end for any reason (close frame or lost TCP).
    bool waitForEnd(std::chrono::milliseconds timeout);
    bool isOpen() const;
    // The close code the server sent; 1006 when the connection ended without one.
    int remoteCloseCode() const;

    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout);
    std::size_t messageCount() const;
    std::vector<Message> messages() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// The samples of audio messages: consecutive little-endian float32 values.
std::vector<float> decodeSamples(const std::string& payload);
std::vector<float> decodeSamples(const std::vector<WsTestClient::Message>& messages);
