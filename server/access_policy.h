#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "origin_policy.h"
#include "peer_identity.h"
#include "repeated_warning.h"

// Who may take one of the endpoint's connection slots, decided before a byte of the
// request is read, and what the log says about those turned away. No socket and no
// endpoint here: the server asks and carries out the answer.
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

// A peer refused outright: the warning to log (its address and whose it is), and the kind
// of refusal, by which repeated refusals are counted.
struct PeerRefusal {
    std::string kind;
    std::string warning;
};

// address: the peer's "address:port", "?" when it could not be read.
PeerRefusal describePeerRefusal(const PeerIdentity& identity, std::string_view address);

// Slots of one class.
inline constexpr std::size_t maxHandshakesPerClass = 8;
inline constexpr std::size_t maxConnectionsPerClass = 64;

enum class SlotVerdict { Admitted, TooManyHandshakes, TooManyConnections };

// With this many handshakes in progress and connections open in the peer's class.
SlotVerdict judgeSlots(std::size_t handshakesInProgress, std::size_t openConnections);

// The slots of every class. A connection is counted until its owner has let go of it
// entirely, a handshake until `handshaking` says it has opened or failed; both are held
// weakly and looked at again whenever another connection of the class asks to be let in.
class AdmissionCounter {
public:
    // Whether the counted connection is still in its opening handshake.
    using Handshaking = std::function<bool(const void* connection)>;

    explicit AdmissionCounter(Handshaking handshaking) : handshaking(std::move(handshaking)) {}

    // Counts the connection in its class, unless the class has all its handshakes in
    // progress or all its connections open.
    SlotVerdict admit(PeerClass peerClass, const std::shared_ptr<const void>& connection);

private:
    struct Slots {
        std::vector<std::weak_ptr<const void>> connections;
        std::vector<std::weak_ptr<const void>> handshakes;
    };

    const Handshaking handshaking;
    Slots slots[peerClassCount];
};

// The log of refusals and failed handshakes. A flood of either would fill the log (and,
// for the library's failure lines, standard output): the first of a burst is written,
// the rest counted, and the counts written once their period has passed.
class AdmissionLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration summaryPeriod = std::chrono::minutes(1);

    void refusedPeer(const PeerRefusal& refusal);
    void refusedHandshake(const HandshakeRefusal& refusal);
    void refusedSlot(SlotVerdict verdict);

    // The line to write in the library's failure log for a failed handshake, if any: the
    // failure's own line when it starts a burst, else the count of the burst once a
    // period has passed since the last line.
    std::optional<std::string> failedHandshake(const std::string& line, Clock::time_point now);

    // Once a summary period has passed: the counts of refusals written to the log, and
    // the count of failed handshakes returned for the failure log, if there is one.
    std::optional<std::string> summarise(Clock::time_point now);

private:
    std::optional<std::string> failureCount(Clock::time_point now);

    RepeatedWarning connectionLimitWarning{"Server", "连接数已达上限 " + std::to_string(maxConnectionsPerClass) +
                                                         ", 已拒绝新连接"};
    RepeatedWarning handshakeLimitWarning{"Server", "进行中的握手已达上限 " +
                                                        std::to_string(maxHandshakesPerClass) + ", 已拒绝新连接"};
    // Keyed by the kind of refusal, never by what a peer sent.
    RepeatedWarnings refusals{"Server", ""};
    bool failureBurst = false;
    std::uint64_t failuresSinceReport = 0;
    Clock::time_point lastFailureReport;
};

// Admission as the endpoint carries it out: the decision on the peer, its class's slots
// and the log of those turned away.
class Admission {
public:
    Admission(bool tokenRequired, AdmissionCounter::Handshaking handshaking)
        : tokenRequired(tokenRequired), counter(std::move(handshaking)) {}

    // Whether the peer may go on to its handshake: counted in its class if so, the
    // refusal logged if not. `address` ("address:port") is asked for only by a refusal.
    bool admit(const PeerIdentity& identity, const std::function<std::string()>& address,
               const std::shared_ptr<const void>& connection);

    AdmissionLog log;

private:
    const bool tokenRequired;
    AdmissionCounter counter;
};
