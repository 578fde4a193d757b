#include "listen_socket.h"

#include <winsock2.h>

// SO_REUSEADDR on Windows would let another process bind the very port we listen on and
// take over our client. Exclusive use keeps the port ours; lingering connections of an
// earlier run do not stand in its way there.
std::error_code prepareListeningSocket(asio::ip::tcp::acceptor& acceptor) {
    std::error_code ec;
    acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), ec);
    return ec;
}
