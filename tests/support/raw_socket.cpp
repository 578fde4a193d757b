#include "raw_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

using Clock = std::chrono::steady_clock;

namespace {

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

RawSocket::~RawSocket() {
    if (fd >= 0)
        ::close(fd);
}

bool RawSocket::connect(int port, std::chrono::milliseconds timeout) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0;
}

bool RawSocket::send(const std::string& bytes) {
    std::size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(deadline)) != 1)
            return false;
    }
    return true;
}

bool RawSocket::receiveSome(std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string RawSocket::upgradeRequest(const std::string& extraHeaders, const std::string& version,
                                      const std::string& path) {
    // The key is the example from RFC 6455; the server only has to answer it.
    return "GET " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: " +
           version + "\r\n" + extraHeaders + "\r\n";
}

int RawSocket::handshake(std::chrono::milliseconds timeout) { return handshake(upgradeRequest(), timeout); }

int RawSocket::handshake(const std::string& request, std::chrono::milliseconds timeout) {
    if (!send(request))
        return 0;
    auto deadline = Clock::now() + timeout;
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos)
        if (!receiveSome(std::chrono::milliseconds(remainingMs(deadline))))
            return 0;
    head = pending.substr(0, end);
    pending.erase(0, end + 4);
    if (head.rfind("HTTP/1.1 ", 0) != 0)
        return 0;
    return std::atoi(head.c_str() + 9);
}

std::optional<std::string> RawSocket::responseBody(std::chrono::milliseconds timeout) {
    static const std::string field = "\r\ncontent-length:";
    std::string lowered = head;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t at = lowered.find(field);
    if (at == std::string::npos)
        return std::string();
    const std::size_t length = std::strtoul(head.c_str() + at + field.size(), nullptr, 10);
    auto deadline = Clock::now() + timeout;
    while (pending.size() < length)
        if (!receiveSome(std::chrono::milliseconds(remainingMs(deadline))))
            return std::nullopt;
    std::string body = pending.substr(0, length);
    pending.erase(0, length);
    return body;
}

bool RawSocket::sendFrameHeader(std::uint8_t opcode, std::uint64_t length) {
    std::string header;
    header.push_back(static_cast<char>(0x80 | opcode));
    if (length < 126) {
        header.push_back(static_cast<char>(0x80 | length));
    } else if (length < 65536) {
        header.push_back(static_cast<char>(0x80 | 126));
        header.push_back(static_cast<char>(length >> 8));
        header.push_back(static_cast<char>(length & 0xFF));
    } else {
        header.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            header.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    header.append("\x01\x02\x03\x04", 4); // masking key
    return send(header);
}

bool RawSocket::sendFrame(std::uint8_t opcode, const std::string& payload) {
    if (!sendFrameHeader(opcode, payload.size()))
        return false;
    std::string masked = payload;
    for (std::size_t i = 0; i < masked.size(); ++i)
        masked[i] = static_cast<char>(masked[i] ^ static_cast<char>(1 + i % 4));
    return send(masked);
}

bool RawSocket::takeFrame(std::uint8_t& opcode, std::string& payload) {
    if (pending.size() < 2)
        return false;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(pending[i]); };
    std::uint64_t length = byte(1) & 0x7F;
    std::size_t offset = 2;
    if (length == 126) {
        if (pending.size() < 4)
            return false;
        length = (byte(2) << 8) | byte(3);
        offset = 4;
    } else if (length == 127) {
        if (pending.size() < 10)
            return false;
        length = 0;
        for (std::size_t i = 2; i < 10; ++i)
            length = (length << 8) | byte(i);
        offset = 10;
    }
    if (pending.size() < offset + length)
        return false;
    opcode = byte(0) & 0x0F;
    payload = pending.substr(offset, length);
    pending.erase(0, offset + length);
    return true;
}

std::optional<int> RawSocket::readCloseCode(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        // Whole server frames (unmasked) out of what has arrived.
        std::uint8_t opcode = 0;
        std::string payload;
        while (takeFrame(opcode, payload)) {
            if (opcode == 0x8)
                return payload.size() >= 2
                           ? (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1])
                           : 1005;
        }
        if (!receiveSome(std::chrono::milliseconds(remainingMs(deadline))))
            return std::nullopt;
    }
}

std::optional<std::string> RawSocket::readMessage(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        std::uint8_t opcode = 0;
        std::string payload;
        while (takeFrame(opcode, payload))
            if (opcode == 0x1 || opcode == 0x2)
                return payload;
        if (!receiveSome(std::chrono::milliseconds(remainingMs(deadline))))
            return std::nullopt;
    }
}

bool RawSocket::waitForEnd(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) != 1)
            return false;
        char buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
}
