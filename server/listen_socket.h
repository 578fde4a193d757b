#pragma once

#include <system_error>

#include <asio/ip/tcp.hpp>

// Options of the listening socket, set after it is opened and before it binds. One
// implementation per platform (posix/, win32/): where address reuse means different
// things, each asks for what keeps a restarted process able to listen at once while no
// other process can take over its port.
std::error_code prepareListeningSocket(asio::ip::tcp::acceptor& acceptor);
