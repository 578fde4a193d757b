#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The WebSocket client that receives sondrel-capture's audio. The library's
// event loop runs on a thread of its own; decoded blocks are queued with their
// arrival time and taken by the recording loop. Sends no Origin header, as a
// native client should. (The WebSocket library stays inside the .cpp file,
// which is built as C++17.)
class AudioReceiver {
public:
    using Clock = std::chrono::steady_clock;

    struct Block {
        std::vector<float> samples;
        Clock::time_point arrival;
    };

    enum class Next { Block, Timeout, Closed };

    AudioReceiver();
    // Closes the connection (briefly waiting for the closing handshake) and stops the thread.
    ~AudioReceiver();
    AudioReceiver(const AudioReceiver&) = delete;
    AudioReceiver& operator=(const AudioReceiver&) = delete;

    // Connects to ws://127.0.0.1:PORT/?token=TOKEN (without a query when the token is
    // empty) and waits for the opening handshake. Returns an empty text on success,
    // else the reason it failed (which never shows the token).
    std::string connect(int port, std::chrono::milliseconds timeout, const std::string& token = {});

    // Waits up to timeout for the next block. Closed once the connection has
    // ended and every block received before that has been taken.
    Next next(Block& out, std::chrono::milliseconds timeout);

    // Sends a close frame and waits up to timeout for the connection to end.
    void close(std::chrono::milliseconds timeout);

    // Messages that were not 2048-byte binary audio blocks (not recorded).
    std::uint64_t unexpectedMessages();
    // Why the connection ended, as the library reports it.
    std::string closeReason();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
