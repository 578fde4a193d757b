#pragma once

#include <cstddef>
#include <optional>

#include "peer_identity.h"

// Who may take one of the endpoint's connection slots, decided before a byte of the
// request is read.
//
// Without a token only our own user's connections are let in. With a token anyone who
// presents it may connect, so the owner no longer decides admission; it still decides
// whose slots a connection takes. Handshakes in progress and open connections are
// counted per class: a stranger who opens connections and sends nothing fills only the
// strangers' slots, never the ones our parent's client needs.
enum class PeerClass {
    Ours,
    // With a token: a peer whose owner could not be told. Under a compatibility layer
    // (Wine) no peer of the host can be, the parent's client included.
    Unidentified,
    Others,
};
inline constexpr std::size_t peerClassCount = 3;

// The class whose slots the peer takes, or nothing when it is refused outright.
std::optional<PeerClass> admittedClass(PeerOwner owner, bool tokenRequired);

// Slots of one class.
inline constexpr std::size_t maxHandshakesPerClass = 8;
inline constexpr std::size_t maxConnectionsPerClass = 64;

enum class SlotVerdict { Admitted, TooManyHandshakes, TooManyConnections };

// With this many handshakes in progress and connections open in the peer's class.
SlotVerdict judgeSlots(std::size_t handshakesInProgress, std::size_t openConnections);
