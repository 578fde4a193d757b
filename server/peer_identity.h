#pragma once

#include <string>

// Who is at the other end of a connection, as far as the operating system could tell.
enum class PeerOwner {
    Us,          // the same user as this process
    SomeoneElse, // another user
    Unknown,     // the peer's socket could not be found or its owner not read
};

struct PeerIdentity {
    PeerOwner owner = PeerOwner::Unknown;
    // For the log: whose it is, or why it could not be told.
    std::string detail;
};
