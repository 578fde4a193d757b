#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// A bare TCP connection to the WebSocket port, for input that a well-behaved client
// library refuses to produce: raw garbage, frames with invalid UTF-8 in text, frame
// headers announcing huge payloads. Every read has a time-out.
class RawSocket {
public:
    RawSocket() = default;
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool connect(int port, std::chrono::milliseconds timeout);
    bool send(const std::string& bytes);
    // The HTTP upgrade request; returns the status code of the answer (101 when opened).
    int handshake(std::chrono::milliseconds timeout);
    // One client frame, masked as a client must, with FIN set.
    bool sendFrame(std::uint8_t opcode, const std::string& payload);
    // Only a frame header announcing the length; no payload follows.
    bool sendFrameHeader(std::uint8_t opcode, std::uint64_t length);
    // Reads server frames until a close frame arrives; its status code, or nullopt when
    // the connection ended or the time ran out without one.
    std::optional<int> readCloseCode(std::chrono::milliseconds timeout);
    // True once the server has ended the TCP connection.
    bool waitForEnd(std::chrono::milliseconds timeout);

private:
    // Appends what arrives within the time-out to pending; false on end or time-out.
    bool receiveSome(std::chrono::milliseconds timeout);

    int fd = -1;
    std::string pending;
};
