#pragma once

#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>

#include "peer_identity.h"

// Who is at the other end of a connection we accepted on the loopback interface: the
// operating system knows the owner of the peer's socket, since both ends live on this
// machine. One implementation per platform (posix/, win32/).

// Looks peers up; keeps what it can reuse between lookups (a kernel socket, a buffer).
// One thread at a time.
class PeerOwnerLookup {
public:
    PeerOwnerLookup();
    ~PeerOwnerLookup();
    PeerOwnerLookup(const PeerOwnerLookup&) = delete;
    PeerOwnerLookup& operator=(const PeerOwnerLookup&) = delete;

    // ours: our end of the accepted connection; peer: the other end.
    PeerIdentity identify(const asio::ip::tcp::endpoint& ours, const asio::ip::tcp::endpoint& peer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
