// Telling who is at the other end of an accepted connection (Linux): the kernel's
// socket-diagnostics answer read from a captured reply, the /proc/net fallback read from
// captured tables, and the lookup itself on real connections of this user and another.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include <asio.hpp>

#include "peer_owner.h"
#include "posix/sock_diag.h"

namespace {

using namespace std::chrono_literals;

asio::ip::tcp::endpoint loopback(unsigned short port) {
    return asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port);
}

// The kernel's answer to sockDiagRequest(127.0.0.1:44836 -> 127.0.0.1:35803, sequence 7)
// for a client socket of uid 65534, as received on a Linux 6 kernel.
const std::array<unsigned char, 124> foundReply = {
    0x7c, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x38, 0x37, 0x00, 0x00, 0x02, 0x01,
    0x00, 0x00, 0xaf, 0x24, 0x8b, 0xdb, 0x7f, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x7f, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x21, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xfe, 0xff, 0x00, 0x00, 0x26, 0xcb, 0x03, 0x00, 0x05, 0x00,
    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x0f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x15, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x16, 0x00, 0x52, 0x00, 0x00, 0x00,
};

// The answer for a pair with no socket (127.0.0.1:1 -> 127.0.0.1:38599): NLMSG_ERROR,
// -ENOENT, followed by our request.
const std::array<unsigned char, 92> notFoundReply = {
    0x5c, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xf9, 0x36, 0x00, 0x00,
    0xfe, 0xff, 0xff, 0xff, 0x48, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x02, 0x06, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x00, 0x01, 0x96, 0xc7,
    0x7f, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x7f, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
};

TEST(SockDiag, AnswerNamesTheOwnerOfTheSocket) {
    const SockDiagAnswer answer = parseSockDiagAnswer(foundReply.data(), foundReply.size(), 7);
    EXPECT_EQ(answer.kind, SockDiagAnswer::Kind::Found);
    EXPECT_EQ(answer.uid, 65534u);
}

TEST(SockDiag, NoSuchSocketIsNotFound) {
    const SockDiagAnswer answer = parseSockDiagAnswer(notFoundReply.data(), notFoundReply.size(), 7);
    EXPECT_EQ(answer.kind, SockDiagAnswer::Kind::NotFound);
    EXPECT_EQ(answer.errorNumber, ENOENT);
}

TEST(SockDiag, OtherErrorsFail) {
    std::array<unsigned char, 92> reply = notFoundReply;
    const int error = -EPERM;
    std::memcpy(&reply[16], &error, sizeof error);
    const SockDiagAnswer answer = parseSockDiagAnswer(reply.data(), reply.size(), 7);
    EXPECT_EQ(answer.kind, SockDiagAnswer::Kind::Failed);
    EXPECT_EQ(answer.errorNumber, EPERM);
}

// A socket in TIME_WAIT is answered with uid 0: read as root's, it would let anyone's
// closed connection pass as ours when we run as root.
TEST(SockDiag, SocketWithoutOwnerIsNotFound) {
    for (unsigned char state : {3 /* SYN_RECV */, 6 /* TIME_WAIT */, 10 /* LISTEN */, 12 /* NEW_SYN_RECV */}) {
        std::array<unsigned char, 124> reply = foundReply;
        reply[17] = state;
        EXPECT_EQ(parseSockDiagAnswer(reply.data(), reply.size(), 7).kind, SockDiagAnswer::Kind::NotFound)
            << int(state);
    }
}

// So is a socket whose process has closed it: an orphan, inode 0, also reported as root's.
// A peer could otherwise send its whole handshake and a command, close, and pass for root.
TEST(SockDiag, ClosedSocketWithoutInodeIsNotFound) {
    std::array<unsigned char, 124> reply = foundReply;
    std::fill(reply.begin() + 16 + 68, reply.begin() + 16 + 72, 0); // idiag_inode
    EXPECT_EQ(parseSockDiagAnswer(reply.data(), reply.size(), 7).kind, SockDiagAnswer::Kind::NotFound);
}

TEST(SockDiag, StrayOrBrokenAnswersAreMalformed) {
    EXPECT_EQ(parseSockDiagAnswer(foundReply.data(), foundReply.size(), 8).kind, SockDiagAnswer::Kind::Malformed);
    for (std::size_t size : {0, 15, 16, 40, 123})
        EXPECT_EQ(parseSockDiagAnswer(foundReply.data(), size, 7).kind, SockDiagAnswer::Kind::Malformed) << size;
    std::array<unsigned char, 124> reply = foundReply;
    reply[4] = 0x15; // another message type
    EXPECT_EQ(parseSockDiagAnswer(reply.data(), reply.size(), 7).kind, SockDiagAnswer::Kind::Malformed);
}

TEST(SockDiag, RequestAsksForExactlyThatPair) {
    const std::vector<unsigned char> request = sockDiagRequest(loopback(44836), loopback(35803), 7);
    // The captured answer repeats the socket's identity: ports, addresses and interface
    // in network byte order, at the same offsets as in the request (after the header and
    // 4 bytes); the kernel's cookie follows, where we ask for none.
    ASSERT_EQ(request.size(), 16u + 56u);
    EXPECT_EQ(request[16], AF_INET);
    EXPECT_EQ(request[17], IPPROTO_TCP);
    for (std::size_t i = 0; i < 40; ++i)
        EXPECT_EQ(request[24 + i], foundReply[20 + i]) << "byte " << i << " of the socket id";
}

const char* const procTable =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   1: 0100007F:8BDB 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 248612 1 "
    "0000000080e6258b 100 0 0 10 0\n"
    "   3: 0100007F:8BDB 0100007F:AF24 01 00000000:00000000 00:00000000 00000000     0        0 248613 1 "
    "00000000dbbe738f 20 0 0 10 -1\n"
    "   4: 0100007F:AF24 0100007F:8BDB 01 00000000:00000000 00:00000000 00000000 65534        0 248614 2 "
    "000000000f392391 20 0 0 10 -1\n"
    "   5: 0100007F:96C7 0100007F:DF14 06 00000000:00000000 03:00000FE1 00000000     0        0 0 3 "
    "00000000b87995c8\n";

TEST(ProcNetTcp, RowOfThePeerNamesItsOwner) {
    EXPECT_EQ(uidFromProcNetTcp(procTable, false, loopback(44836), loopback(35803)), 65534u);
    EXPECT_EQ(uidFromProcNetTcp(procTable, false, loopback(35803), loopback(44836)), 0u);
    EXPECT_EQ(uidFromProcNetTcp(procTable, false, loopback(44837), loopback(35803)), std::nullopt);
    // TIME_WAIT rows carry no owner.
    EXPECT_EQ(uidFromProcNetTcp(procTable, false, loopback(38599), loopback(57108)), std::nullopt);
    // Nor do closed sockets (inode 0), shown as root's.
    const std::string orphan = std::regex_replace(std::string(procTable), std::regex(" 248614 "), " 0 ");
    EXPECT_EQ(uidFromProcNetTcp(orphan, false, loopback(44836), loopback(35803)), std::nullopt);
    EXPECT_EQ(uidFromProcNetTcp("", false, loopback(44836), loopback(35803)), std::nullopt);
}

TEST(ProcNetTcp, IpV6SocketReachingIpV4IsFoundAsMapped) {
    const char* table =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue "
        "tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0000000000000000FFFF00000100007F:AF24 0000000000000000FFFF00000100007F:8BDB 01 00000000:00000000 "
        "00:00000000 00000000  1000        0 4242 1 0000000000000000 20 4 30 10 -1\n";
    EXPECT_EQ(uidFromProcNetTcp(table, true, loopback(44836), loopback(35803)), 1000u);
    EXPECT_EQ(uidFromProcNetTcp(table, false, loopback(44836), loopback(35803)), std::nullopt);
}

// Real connections: ours, another user's (a child that became nobody), one already gone.
class PeerLookup : public ::testing::Test {
protected:
    PeerLookup() : acceptor(io, loopback(0)) {}

    PeerIdentity identifyNext() {
        pollfd waiting{acceptor.native_handle(), POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1) {
            ADD_FAILURE() << "no connection came";
            return {};
        }
        asio::ip::tcp::socket accepted = acceptor.accept();
        return lookup.identify(accepted.local_endpoint(), accepted.remote_endpoint());
    }

    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    PeerOwnerLookup lookup;
};

TEST_F(PeerLookup, OurOwnConnectionIsOurs) {
    for (int i = 0; i < 3; ++i) {
        asio::ip::tcp::socket client(io);
        client.connect(acceptor.local_endpoint());
        EXPECT_EQ(identifyNext().owner, PeerOwner::Us);
    }
}

TEST_F(PeerLookup, PeerThatHasGoneIsUnknown) {
    asio::ip::tcp::socket warmUp(io);
    warmUp.connect(acceptor.local_endpoint());
    EXPECT_EQ(identifyNext().owner, PeerOwner::Us);
    asio::ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted = acceptor.accept();
    const asio::ip::tcp::endpoint ours = accepted.local_endpoint();
    const asio::ip::tcp::endpoint peer = accepted.remote_endpoint();
    client.set_option(asio::socket_base::linger(true, 0)); // reset, no TIME_WAIT
    client.close();
    const PeerIdentity identity = lookup.identify(ours, peer);
    EXPECT_EQ(identity.owner, PeerOwner::Unknown);
    EXPECT_FALSE(identity.detail.empty());
}

TEST_F(PeerLookup, AnotherUsersConnectionIsTheirs) {
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    const unsigned short port = acceptor.local_endpoint().port();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[1]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        asio::io_context own;
        asio::ip::tcp::socket client(own);
        asio::error_code ec;
        client.connect(loopback(port), ec);
        char done = 0;
        // Keeps the socket open until the parent has looked.
        const ssize_t ignored = read(ready[0], &done, 1);
        (void)ignored;
        _exit(ec ? 91 : 0);
    }
    close(ready[0]);
    const PeerIdentity identity = identifyNext();
    close(ready[1]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(identity.owner, PeerOwner::SomeoneElse);
    EXPECT_EQ(identity.detail, "用户 65534");
}

// The lookup compares with the user it runs as, not with root: run as nobody, its own
// connection is ours and root's is someone else's. (Run as root, the two are the same.)
TEST(PeerLookupAsAnotherUser, OwnConnectionIsOursAndRootsIsNot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "becoming another user needs root";
    int portPipe[2];
    ASSERT_EQ(pipe(portPipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(portPipe[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        asio::io_context io;
        asio::ip::tcp::acceptor acceptor(io, loopback(0));
        PeerOwnerLookup lookup;
        const auto identifyAccepted = [&] {
            asio::ip::tcp::socket accepted = acceptor.accept();
            return lookup.identify(accepted.local_endpoint(), accepted.remote_endpoint()).owner;
        };
        asio::ip::tcp::socket own(io);
        own.connect(acceptor.local_endpoint());
        const PeerOwner ownOwner = identifyAccepted();
        const unsigned short port = acceptor.local_endpoint().port();
        if (write(portPipe[1], &port, sizeof port) != sizeof port)
            _exit(91);
        pollfd waiting{acceptor.native_handle(), POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1)
            _exit(92);
        const PeerOwner rootsOwner = identifyAccepted();
        // 0: both right; else which was wrong.
        _exit((ownOwner == PeerOwner::Us ? 0 : 1) | (rootsOwner == PeerOwner::SomeoneElse ? 0 : 2));
    }
    close(portPipe[1]);
    unsigned short port = 0;
    pollfd ready{portPipe[0], POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    ASSERT_EQ(read(portPipe[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    asio::io_context io;
    asio::ip::tcp::socket client(io);
    client.connect(loopback(port));
    // Our socket stays open until the child, which looks at it, has ended.
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(portPipe[0]);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    const int code = WEXITSTATUS(status);
    EXPECT_EQ(code & 1, 0) << "the lookup run as nobody did not find its own connection ours";
    EXPECT_EQ(code & 2, 0) << "the lookup run as nobody took root's connection for its own";
    EXPECT_LT(code, 90) << "the child failed to set up";
}

} // namespace
