// The listening socket is ours alone on Windows: SO_EXCLUSIVEADDRUSE, not SO_REUSEADDR
// (which there would let another process bind the same port).
#include "listen_socket.h"

#include <gtest/gtest.h>

#include <winsock2.h>

TEST(WindowsListenSocket, AsksForExclusiveUseAndNotForReuse) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io);
    acceptor.open(asio::ip::tcp::v4());
    ASSERT_FALSE(prepareListeningSocket(acceptor));
    asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE> exclusive;
    acceptor.get_option(exclusive);
    EXPECT_TRUE(exclusive.value());
    asio::socket_base::reuse_address reuse;
    acceptor.get_option(reuse);
    EXPECT_FALSE(reuse.value());
}
