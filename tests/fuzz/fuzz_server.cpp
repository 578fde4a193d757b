// Raw bytes from any local process reach the WebSocket endpoint: handshakes, frames,
// fragments and absurd lengths. One server lives for the whole run; each input is sent
// on a fresh TCP connection, which is then closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>

#include "command_queue.h"
#include "ring_buffer.h"
#include "server.h"

namespace {

struct Fixture {
    Fixture() : ring(std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600)), server(ring, &queue) {
        std::cout.setstate(std::ios::badbit); // the access log would drown the fuzzer's output
    }
    CommandQueue queue;
    std::shared_ptr<RingBuffer> ring;
    Server server;
};

void drain(int fd) {
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    // Short bounded wait: enough for the server to answer or close.
    for (int i = 0; i < 4 && poll(&p, 1, 5) > 0; ++i)
        if (recv(fd, buffer, sizeof buffer, 0) <= 0)
            break;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(fixture.server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        send(fd, data, size, MSG_NOSIGNAL);
        drain(fd);
    }
    close(fd);
    while (!fixture.queue.empty())
        fixture.queue.tryPop();
    return 0;
}
