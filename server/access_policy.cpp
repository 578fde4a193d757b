#include "access_policy.h"

#include <algorithm>

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

PeerRefusal describePeerRefusal(const PeerIdentity& identity, std::string_view address) {
    const std::string kind =
        identity.owner == PeerOwner::SomeoneElse ? "拒绝其他用户的连接" : "拒绝无法确认所属用户的连接";
    return {kind, kind + ": " + std::string(address) + ", " + identity.detail};
}

SlotVerdict judgeSlots(std::size_t handshakesInProgress, std::size_t openConnections) {
    if (handshakesInProgress >= maxHandshakesPerClass)
        return SlotVerdict::TooManyHandshakes;
    if (openConnections >= maxConnectionsPerClass)
        return SlotVerdict::TooManyConnections;
    return SlotVerdict::Admitted;
}

SlotVerdict AdmissionCounter::admit(PeerClass peerClass, const std::shared_ptr<const void>& connection) {
    Slots& counted = slots[static_cast<std::size_t>(peerClass)];
    auto& open = counted.connections;
    open.erase(std::remove_if(open.begin(), open.end(), [](const auto& held) { return held.expired(); }),
               open.end());
    auto& pending = counted.handshakes;
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [this](const auto& held) {
                                     const std::shared_ptr<const void> connection = held.lock();
                                     return !connection || !handshaking(connection.get());
                                 }),
                  pending.end());
    const SlotVerdict verdict = judgeSlots(counted.handshakes.size(), counted.connections.size());
    if (verdict == SlotVerdict::Admitted) {
        counted.connections.push_back(connection);
        counted.handshakes.push_back(connection);
    }
    return verdict;
}

bool Admission::admit(const PeerIdentity& identity, const std::function<std::string()>& address,
                      const std::shared_ptr<const void>& connection) {
    const std::optional<PeerClass> peerClass = admittedClass(identity.owner, tokenRequired);
    if (!peerClass) {
        log.refusedPeer(describePeerRefusal(identity, address()));
        return false;
    }
    const SlotVerdict verdict = counter.admit(*peerClass, connection);
    if (verdict != SlotVerdict::Admitted)
        log.refusedSlot(verdict);
    return verdict == SlotVerdict::Admitted;
}

void AdmissionLog::refusedPeer(const PeerRefusal& refusal) {
    refusals.reportDetailed(refusal.kind, refusal.warning);
}

void AdmissionLog::refusedHandshake(const HandshakeRefusal& refusal) {
    refusals.reportDetailed(refusal.kind, refusal.warning);
}

void AdmissionLog::refusedSlot(SlotVerdict verdict) {
    if (verdict == SlotVerdict::TooManyHandshakes)
        handshakeLimitWarning.report();
    else if (verdict == SlotVerdict::TooManyConnections)
        connectionLimitWarning.report();
}

std::optional<std::string> AdmissionLog::failedHandshake(const std::string& line, Clock::time_point now) {
    if (failureBurst && failuresSinceReport == 0 && now - lastFailureReport >= summaryPeriod)
        failureBurst = false;
    if (!failureBurst) {
        failureBurst = true;
        lastFailureReport = now;
        return line;
    }
    ++failuresSinceReport;
    if (now - lastFailureReport >= summaryPeriod)
        return failureCount(now);
    return std::nullopt;
}

std::optional<std::string> AdmissionLog::summarise(Clock::time_point now) {
    refusals.poll();
    handshakeLimitWarning.poll();
    connectionLimitWarning.poll();
    if (now - lastFailureReport >= summaryPeriod)
        return failureCount(now);
    return std::nullopt;
}

std::optional<std::string> AdmissionLog::failureCount(Clock::time_point now) {
    std::optional<std::string> line;
    if (failuresSinceReport > 0)
        line = "WebSocket handshakes failed since the last report: " + std::to_string(failuresSinceReport);
    failuresSinceReport = 0;
    lastFailureReport = now;
    return line;
}
