// A client run as another user: becomes that user before it opens a single socket, then
// tries what a local stranger would. Prints what it got, one "name value" per line.
//
//   connect_probe UID PORT listen SECONDS       handshake, then count audio messages
//   connect_probe UID PORT command WORD         handshake, then send WORD
//   connect_probe UID PORT hold COUNT SECONDS   keep COUNT connections each sending a byte
//                                               of a handshake every 2 s, reopening any
//                                               that is closed
//   connect_probe UID PORT siege COUNT SECONDS  keep COUNT connections that have sent one
//                                               byte, reopening each the moment it is
//                                               closed; PORT 0: first wait for a new
//                                               listener on 127.0.0.1 in /proc/net/tcp
//                                               (the victim's, from before its port line)
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_socket.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Ports of the sockets listening on 127.0.0.1 (state 0A in /proc/net/tcp).
std::set<int> loopbackListeners() {
    std::set<int> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.rfind("0100007F:", 0) == 0)
            ports.insert(std::stoi(local.substr(9), nullptr, 16));
    }
    return ports;
}

int waitForNewListener(Clock::time_point end) {
    const std::set<int> before = loopbackListeners();
    while (Clock::now() < end) {
        for (int port : loopbackListeners())
            if (!before.count(port))
                return port;
        std::this_thread::sleep_for(1ms);
    }
    return 0;
}

// A non-blocking connection that has sent the first byte of a request, or -1.
int openAndStall(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::send(fd, "G", 1, 0) != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int siege(int port, std::size_t count, Clock::time_point end) {
    if (port == 0)
        port = waitForNewListener(end);
    std::printf("port %d\n", port);
    std::fflush(stdout);
    if (port == 0)
        return 4;
    std::vector<pollfd> held(count, pollfd{-1, POLLIN, 0});
    std::size_t opened = 0;
    std::size_t reported = 0;
    while (Clock::now() < end) {
        for (pollfd& slot : held) {
            if (slot.fd >= 0 && (slot.revents & (POLLIN | POLLHUP | POLLERR))) {
                ::close(slot.fd);
                slot.fd = -1;
            }
            if (slot.fd < 0) {
                slot.fd = openAndStall(port);
                opened += slot.fd >= 0 ? 1 : 0;
            }
            slot.revents = 0;
        }
        if (opened != reported) {
            std::printf("opened %zu\n", opened);
            std::fflush(stdout);
            reported = opened;
        }
        // Wakes as soon as the server closes one; a failed connect is tried again soon.
        ::poll(held.data(), held.size(), 20);
    }
    for (const pollfd& slot : held)
        if (slot.fd >= 0)
            ::close(slot.fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5)
        return 2;
    const uid_t uid = static_cast<uid_t>(std::atoi(argv[1]));
    const int port = std::atoi(argv[2]);
    const std::string mode = argv[3];
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0 || getuid() != uid)
        return 3;
    signal(SIGPIPE, SIG_IGN);

    if (mode == "listen") {
        RawSocket socket;
        const int status = socket.connect(port, 3s) ? socket.handshake(3s) : -1;
        std::printf("status %d\n", status);
        std::size_t messages = 0;
        const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[4]));
        // The device may take a second or two to deliver after the port line.
        while (status == 101 && Clock::now() < end) {
            if (socket.readMessage(500ms))
                ++messages;
            else
                std::this_thread::sleep_for(50ms); // ended: no spinning until the deadline
        }
        std::printf("messages %zu\n", messages);
        return 0;
    }
    if (mode == "command") {
        RawSocket socket;
        const int status = socket.connect(port, 3s) ? socket.handshake(3s) : -1;
        std::printf("status %d\n", status);
        if (status == 101)
            std::printf("sent %d\n", socket.sendFrame(0x1, argv[4]) ? 1 : 0);
        std::this_thread::sleep_for(500ms);
        return 0;
    }
    if (mode == "siege" && argc >= 6)
        return siege(port, static_cast<std::size_t>(std::atoi(argv[4])),
                     Clock::now() + std::chrono::seconds(std::atoi(argv[5])));
    if (mode == "hold" && argc >= 6) {
        const std::string request = RawSocket::upgradeRequest();
        const int count = std::atoi(argv[4]);
        std::vector<std::unique_ptr<RawSocket>> sockets(static_cast<std::size_t>(count));
        std::vector<std::size_t> sent(sockets.size(), 0);
        std::size_t opened = 0;
        const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[5]));
        while (Clock::now() < end) {
            for (std::size_t i = 0; i < sockets.size(); ++i) {
                if (!sockets[i] || !sockets[i]->send(request.substr(sent[i] % request.size(), 1))) {
                    sockets[i] = std::make_unique<RawSocket>();
                    sent[i] = 0;
                    if (!sockets[i]->connect(port, 1s))
                        continue;
                    ++opened;
                }
                ++sent[i];
            }
            std::printf("opened %zu\n", opened);
            std::fflush(stdout);
            std::this_thread::sleep_for(2s);
        }
        return 0;
    }
    return 2;
}
