#include "listen_socket.h"

// Reuse lets the next run bind while connections of the last one linger in TIME_WAIT;
// no other process can bind a port that is being listened on.
std::error_code prepareListeningSocket(asio::ip::tcp::acceptor& acceptor) {
    std::error_code ec;
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    return ec;
}
