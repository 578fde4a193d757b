#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <asio/ip/tcp.hpp>

// The pieces of the Linux peer lookup that need no kernel: the socket-diagnostics
// request for one TCP socket, the reading of the kernel's answer, and the fallback
// through the text of /proc/net/tcp and /proc/net/tcp6.

// A SOCK_DIAG_BY_FAMILY request (inet_diag_req_v2) for the one TCP socket whose own
// address is `from` and whose remote address is `to`.
std::vector<unsigned char> sockDiagRequest(const asio::ip::tcp::endpoint& from, const asio::ip::tcp::endpoint& to,
                                           std::uint32_t sequence);

struct SockDiagAnswer {
    enum class Kind {
        Found,     // uid holds the owner
        NotFound,  // the kernel knows no such socket (it closed already)
        Failed,    // an error answer other than "not found" (errorNumber holds it)
        Malformed, // too short, or not an answer to our request
    };
    Kind kind = Kind::Malformed;
    uid_t uid = 0;
    int errorNumber = 0;
};

// Reads the kernel's answer (one datagram) to the request with this sequence number.
SockDiagAnswer parseSockDiagAnswer(const unsigned char* data, std::size_t size, std::uint32_t sequence);

// The owner of the socket from `from` to `to` in the text of /proc/net/tcp (IPv4
// addresses) or /proc/net/tcp6 (ipv6Table: an IPv4 address is written ::ffff:a.b.c.d).
std::optional<uid_t> uidFromProcNetTcp(std::string_view table, bool ipv6Table, const asio::ip::tcp::endpoint& from,
                                       const asio::ip::tcp::endpoint& to);
