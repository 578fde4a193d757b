// Who may take a connection slot: the owner of the peer's socket and the token decide
// whether a connection is let in and whose slots it takes.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "access_policy.h"

namespace {

TEST(AccessPolicy, WithoutATokenOnlyOurOwnUserGetsIn) {
    EXPECT_EQ(admittedClass(PeerOwner::Us, false), PeerClass::Ours);
    EXPECT_EQ(admittedClass(PeerOwner::SomeoneElse, false), std::nullopt);
    // A peer whose owner cannot be told might be anyone's.
    EXPECT_EQ(admittedClass(PeerOwner::Unknown, false), std::nullopt);
}

// Everyone may present the token, but each kind of owner fills slots of its own.
TEST(AccessPolicy, WithATokenEachKindOfOwnerHasItsOwnSlots) {
    EXPECT_EQ(admittedClass(PeerOwner::Us, true), PeerClass::Ours);
    EXPECT_EQ(admittedClass(PeerOwner::SomeoneElse, true), PeerClass::Others);
    EXPECT_EQ(admittedClass(PeerOwner::Unknown, true), PeerClass::Unidentified);
}

TEST(AccessPolicy, SlotsOfAClassAreEightHandshakesAndSixtyFourConnections) {
    EXPECT_EQ(judgeSlots(0, 0), SlotVerdict::Admitted);
    EXPECT_EQ(judgeSlots(7, 63), SlotVerdict::Admitted);
    EXPECT_EQ(judgeSlots(8, 8), SlotVerdict::TooManyHandshakes);
    EXPECT_EQ(judgeSlots(0, 64), SlotVerdict::TooManyConnections);
}

TEST(AccessPolicy, RefusalNamesTheOwnerAndCountsByKindAlone) {
    const PeerRefusal other = describePeerRefusal({PeerOwner::SomeoneElse, "uid 1001"}, "127.0.0.1:40000");
    EXPECT_EQ(other.kind, "拒绝其他用户的连接");
    EXPECT_EQ(other.warning, "拒绝其他用户的连接: 127.0.0.1:40000, uid 1001");
    const PeerRefusal unknown = describePeerRefusal({PeerOwner::Unknown, "连接已断开"}, "?");
    EXPECT_EQ(unknown.kind, "拒绝无法确认所属用户的连接");
    EXPECT_EQ(unknown.warning, "拒绝无法确认所属用户的连接: ?, 连接已断开");
}

// A class's connections are counted while anyone holds them, its handshakes while they
// are in progress; a full class turns away only its own peers.
TEST(AdmissionCounter, CountsEachClassUntilItsConnectionsAreLetGo) {
    std::vector<std::shared_ptr<bool>> handshaking; // true while in its handshake
    AdmissionCounter counter([](const void* connection) { return *static_cast<const bool*>(connection); });
    const auto connect = [&](PeerClass peerClass) {
        auto connection = std::make_shared<bool>(true);
        const SlotVerdict verdict = counter.admit(peerClass, connection);
        if (verdict == SlotVerdict::Admitted)
            handshaking.push_back(connection);
        return verdict;
    };

    for (std::size_t i = 0; i < maxHandshakesPerClass; ++i)
        ASSERT_EQ(connect(PeerClass::Others), SlotVerdict::Admitted) << i;
    EXPECT_EQ(connect(PeerClass::Others), SlotVerdict::TooManyHandshakes);
    EXPECT_EQ(connect(PeerClass::Ours), SlotVerdict::Admitted);

    // Handshakes that opened make room for more, up to the connections' limit.
    for (const auto& connection : handshaking)
        *connection = false;
    while (handshaking.size() < maxConnectionsPerClass + 1) {
        ASSERT_EQ(connect(PeerClass::Others), SlotVerdict::Admitted) << handshaking.size();
        *handshaking.back() = false;
    }
    EXPECT_EQ(connect(PeerClass::Others), SlotVerdict::TooManyConnections);

    // A connection the owner let go of no longer counts.
    handshaking.erase(handshaking.begin() + 1);
    EXPECT_EQ(connect(PeerClass::Others), SlotVerdict::Admitted);
    EXPECT_EQ(connect(PeerClass::Others), SlotVerdict::TooManyConnections);
}

// The decision and the slots together: a refused peer takes no slot, and only a refusal
// reads the peer's address.
TEST(Admission, RefusedPeersTakeNoSlotAndOnlyRefusalsReadTheAddress) {
    Admission admission(false, [](const void*) { return true; });
    int addressReads = 0;
    const auto address = [&] {
        ++addressReads;
        return std::string("127.0.0.1:40000");
    };
    std::vector<std::shared_ptr<int>> held;
    for (std::size_t i = 0; i < maxHandshakesPerClass + 2; ++i) {
        held.push_back(std::make_shared<int>(0));
        EXPECT_FALSE(admission.admit({PeerOwner::SomeoneElse, "uid 1001"}, address, held.back())) << i;
    }
    EXPECT_EQ(addressReads, static_cast<int>(maxHandshakesPerClass + 2));
    for (std::size_t i = 0; i < maxHandshakesPerClass; ++i) {
        held.push_back(std::make_shared<int>(0));
        EXPECT_TRUE(admission.admit({PeerOwner::Us, "ours"}, address, held.back())) << i;
    }
    held.push_back(std::make_shared<int>(0));
    EXPECT_FALSE(admission.admit({PeerOwner::Us, "ours"}, address, held.back()));
    EXPECT_EQ(addressReads, static_cast<int>(maxHandshakesPerClass + 2));
}

// The first failed handshake of a burst is written as it is; the rest are counted and the
// count written once a minute has passed since the last line.
TEST(AdmissionLog, FailedHandshakesAreWrittenOncePerBurstThenCounted) {
    using namespace std::chrono_literals;
    AdmissionLog log;
    const AdmissionLog::Clock::time_point t0 = AdmissionLog::Clock::now();
    EXPECT_EQ(log.failedHandshake("first", t0), "first");
    EXPECT_EQ(log.failedHandshake("second", t0 + 1s), std::nullopt);
    EXPECT_EQ(log.failedHandshake("third", t0 + 2s), std::nullopt);
    EXPECT_EQ(log.summarise(t0 + 59s), std::nullopt);
    EXPECT_EQ(log.summarise(t0 + 60s), "WebSocket handshakes failed since the last report: 2");
    EXPECT_EQ(log.summarise(t0 + 200s), std::nullopt);

    // Within the burst's period after a count: counted again, written with the next
    // failure a period on.
    EXPECT_EQ(log.failedHandshake("fourth", t0 + 230s), std::nullopt);
    EXPECT_EQ(log.failedHandshake("fifth", t0 + 261s), "WebSocket handshakes failed since the last report: 2");

    // After a quiet period a failure starts a new burst with its own line.
    EXPECT_EQ(log.failedHandshake("sixth", t0 + 400s), "sixth");
}

} // namespace
