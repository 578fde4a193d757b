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
    // The same with the request given whole, ending in an empty line. The answer's head
    // (status line and headers) stays in response().
    int handshake(const std::string& request, std::chrono::milliseconds timeout);
    const std::string& response() const { return head; }
    // The body of the answer whose head handshake() read, as long as its Content-Length
    // says (empty without one); nullopt when it does not arrive in time.
    std::optional<std::string> responseBody(std::chrono::milliseconds timeout);
    // A version 13 upgrade request for path with these extra header lines (each ending in CR LF).
    static std::string upgradeRequest(const std::string& extraHeaders = {}, const std::string& version = "13",
                                      const std::string& path = "/");
    // One client frame, masked as a client must, with FIN set.
    bool sendFrame(std::uint8_t opcode, const std::string& payload);
    // Only a frame header announcing the length; no payload follows.
    bool sendFrameHeader(std::uint8_t opcode, std::uint64_t length);
    // Reads server frames until a close frame arrives; its status code, or nullopt when
    // the connection ended or the time ran out without one.
    std::optional<int> readCloseCode(std::chrono::milliseconds timeout);
    // The payload of the next data frame from the server; nullopt on time-out or end.
    std::optional<std::string> readMessage(std::chrono::milliseconds timeout);
    // True once the server has ended the TCP connection.
    bool waitForEnd(std::chrono::milliseconds timeout);

private:
    // Appends what arrives within the time-out to pending; false on end or time-out.
    bool receiveSome(std::chrono::milliseconds timeout);

    // Takes one whole server frame out of pending, if one has arrived.
    bool takeFrame(std::uint8_t& opcode, std::string& payload);

    int fd = -1;
    std::string pending;
    std::string head;
};
