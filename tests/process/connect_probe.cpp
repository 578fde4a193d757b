// A client run as another user: becomes that user before it opens a single socket, then
// tries what a local stranger would. Prints what it got, one "name value" per line.
//
//   connect_probe UID PORT listen SECONDS       handshake, then count audio messages
//   connect_probe UID PORT command WORD         handshake, then send WORD
//   connect_probe UID PORT hold COUNT SECONDS   keep COUNT connections each sending a byte
//                                               of a handshake every 2 s, reopening any
//                                               that is closed
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_socket.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
