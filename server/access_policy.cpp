#include "access_policy.h"

std::optional<PeerClass> admittedClass(PeerOwner owner, bool tokenRequired) {
    switch (owner) {
    case PeerOwner::Us:
        return PeerClass::Ours;
    case PeerOwner::SomeoneElse:
        if (tokenRequired)
            return PeerClass::Others;
        return std::nullopt;
    case PeerOwner::Unknown:
        if (tokenRequired)
            return PeerClass::Unidentified;
        return std::nullopt;
    }
    return std::nullopt;
}

SlotVerdict judgeSlots(std::size_t handshakesInProgress, std::size_t openConnections) {
    if (handshakesInProgress >= maxHandshakesPerClass)
        return SlotVerdict::TooManyHandshakes;
    if (openConnections >= maxConnectionsPerClass)
        return SlotVerdict::TooManyConnections;
    return SlotVerdict::Admitted;
}
