#include "devices/BoardRegistry.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace kf {
namespace {

using State = BoardRegistry::State;

TEST(BoardSides, NewBoardsTakeLeftThenRightAndAThirdIsNotUsed) {
    BoardRegistry r;
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "/dev/ttyUSB0"), 1);
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "/dev/ttyUSB1"), 2);
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "/dev/ttyUSB2"), 0);
    EXPECT_EQ(r.at(BoardKind::Icp12, 1).identity, "/dev/ttyUSB0");
    EXPECT_EQ(r.at(BoardKind::Icp12, 2).identity, "/dev/ttyUSB1");
}

TEST(BoardSides, KindsCountTheirSidesApart) {
    BoardRegistry r;
    r.seat(BoardKind::Icp12, 1, "/dev/ttyUSB0");
    EXPECT_EQ(r.arrive(BoardKind::Arduino, "/dev/ttyUSB1"), 1);
    EXPECT_EQ(r.arrive(BoardKind::K8055, "0"), 1);
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "/dev/ttyUSB2"), 2);
}

TEST(BoardSides, ABoardThatComesBackGetsItsOwnSideEvenWhenTheLeftIsFree) {
    BoardRegistry r;
    r.seat(BoardKind::Arduino, 1, "a");
    r.seat(BoardKind::Arduino, 2, "b");
    r.lose(BoardKind::Arduino, 1);
    r.lose(BoardKind::Arduino, 2);
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Lost);
    EXPECT_EQ(r.arrive(BoardKind::Arduino, "b"), 2);
    EXPECT_EQ(r.arrive(BoardKind::Arduino, "a"), 1);
    EXPECT_EQ(r.at(BoardKind::Arduino, 1).state, State::Open);
}

TEST(BoardSides, ANewBoardPrefersAnEmptySideToOneKeptForABoardThatIsGone) {
    BoardRegistry r;
    r.seat(BoardKind::Icp12, 1, "old");
    r.lose(BoardKind::Icp12, 1);
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "new"), 2);
    // With no empty side left, a further new board replaces the one that is gone.
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "newer"), 1);
    // The old board then finds both sides taken.
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "old"), 0);
}

TEST(BoardSides, APresentBoardSeenAgainKeepsItsSide) {
    BoardRegistry r;
    r.seat(BoardKind::Icp12, 2, "x");
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "x"), 2);
    EXPECT_EQ(r.sideOf(BoardKind::Icp12, "x"), 2);
    EXPECT_EQ(r.arrive(BoardKind::Icp12, "y"), 1);
}

TEST(BoardSides, OnlyPresentBoardsAreFoundByIdentity) {
    BoardRegistry r;
    r.seat(BoardKind::K8055, 1, "3");
    EXPECT_TRUE(r.anyPresent(BoardKind::K8055));
    r.lose(BoardKind::K8055, 1);
    EXPECT_EQ(r.sideOf(BoardKind::K8055, "3"), 0);
    EXPECT_FALSE(r.anyPresent(BoardKind::K8055));
    r.lose(BoardKind::K8055, 2);  // an empty side stays empty
    EXPECT_EQ(r.at(BoardKind::K8055, 2).state, State::Absent);
}

TEST(BoardStates, ALostBoardsPortProbedAgainIsProbingThenOpenOrLostAgain) {
    BoardRegistry r;
    r.seat(BoardKind::Arduino, 2, "/dev/serial/by-id/nano");
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Open);
    r.lose(BoardKind::Arduino, 2);
    r.probing("/dev/serial/by-id/nano");
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Probing);
    EXPECT_EQ(r.arrive(BoardKind::Arduino, "/dev/ttyUSB7"), 1) << "a new board leaves it alone";
    r.probeEnded("/dev/serial/by-id/nano");  // it answered nothing this time
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Lost);
    r.probing("/dev/serial/by-id/nano");
    EXPECT_EQ(r.arrive(BoardKind::Arduino, "/dev/serial/by-id/nano"), 2);
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Open);
    r.probing("/dev/serial/by-id/nano");  // an open board's port is not probed again
    EXPECT_EQ(r.at(BoardKind::Arduino, 2).state, State::Open);
}

TEST(BoardSwitches, ABoxUntickedForLackOfBoardsTicksForTheFirstArrivalOnly) {
    BoardRegistry r;
    r.startedWith(BoardKind::Arduino, false);
    EXPECT_TRUE(r.tickOnArrival(BoardKind::Arduino));
    EXPECT_FALSE(r.tickOnArrival(BoardKind::Arduino));
}

TEST(BoardSwitches, ABoxTickedAtStartUpIsNotTickedAgain) {
    BoardRegistry r;
    r.seat(BoardKind::K8055, 1, "0");
    r.startedWith(BoardKind::K8055, true);
    EXPECT_FALSE(r.tickOnArrival(BoardKind::K8055));
}

TEST(BoardSides, SidesOutsideOneAndTwoAreRejected) {
    BoardRegistry r;
    EXPECT_THROW(r.seat(BoardKind::Icp12, 0, "x"), std::out_of_range);
    EXPECT_THROW(r.lose(BoardKind::Icp12, 3), std::out_of_range);
}

// The sides' boards are read by all and written by the registry alone.
static_assert(
    !std::is_assignable_v<decltype(std::declval<SharedState&>().ICP12Port(Links)), std::int16_t>);
static_assert(
    !std::is_assignable_v<decltype(std::declval<SharedState&>().K8055Card(Links)), std::int32_t>);

TEST(BoardSeats, EachKindsPortIsWrittenToItsOwnSideAndAK8055HasNoPort) {
    SharedState state;
    BoardRegistry::setPort(state, BoardKind::Icp12, Rechts, 4);
    BoardRegistry::setPort(state, BoardKind::Arduino, Links, 7);
    BoardRegistry::setArduinoType(state, Links, "ET");
    BoardRegistry::setCard(state, Rechts, 2);
    EXPECT_EQ(state.ICP12Port(Links), 0);
    EXPECT_EQ(state.ICP12Port(Rechts), 4);
    EXPECT_EQ(state.ArduinoPort(Links), 7);
    EXPECT_EQ(state.ArduinoPort(Rechts), 0);
    EXPECT_EQ(state.ArduinoType(Links), "ET");
    EXPECT_EQ(state.K8055Card(Rechts), 2);
    EXPECT_THROW(BoardRegistry::setPort(state, BoardKind::K8055, Links, 1), std::invalid_argument);
    EXPECT_EQ(state.K8055Card(Links), 0);
}

}  // namespace
}  // namespace kf
