// Who may take a connection slot: the owner of the peer's socket and the token decide
// whether a connection is let in and whose slots it takes.
#include <gtest/gtest.h>

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

} // namespace
