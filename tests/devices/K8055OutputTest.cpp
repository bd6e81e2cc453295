// A side's K8055 output as the boards reach it: it writes only its own card, and of the
// driver's news of every card it tells only its own, once each way.
#include "devices/BoardRegistry.h"
#include "devices/K8055Output.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "devices/FakeHidTransport.h"
#include "devices/Velleman.h"

namespace kf {
namespace {

using kftest::FakeHidTransport;

class K8055OutputTest : public ::testing::Test {
  protected:
    FakeHidTransport transport;
    kftest::FakeClock clock;
    k8055d::K8055Driver driver{transport, clock.function()};
    SharedState state;
    K8055Output left{state, Links, driver};
    K8055Output right{state, Rechts, driver};
    std::vector<std::pair<std::string, Output::State>> told;

    void SetUp() override {
        transport.plugBoard(0);
        transport.plugBoard(1);
        ASSERT_EQ(driver.SearchDevices(), 0b11);
        kf::BoardRegistry::setCard(state, Links, 1);  // cards are numbered from 1
        kf::BoardRegistry::setCard(state, Rechts, 2);
        state.K8055Active = true;
        for (K8055Output* output : {&left, &right}) {
            output->setStateNotice(
                [this](const Output& o, Output::State now) { told.emplace_back(o.name(), now); });
        }
        driver.setPresenceHandler([this](std::int32_t address, bool present) {
            for (K8055Output* output : {&left, &right}) {
                output->presenceChanged(address, present);
            }
        });
    }

    // The fake's writes end before the call returns, as the driver's own thread's would
    // before the next frame.
    void frame(std::int32_t l, std::int32_t r) {
        LampFrame f;
        f.patterns(Links) = l;
        f.patterns(Rechts) = r;
        left.take(f);
        right.take(f);
    }
};

TEST_F(K8055OutputTest, AnUnpluggedCardIsToldLostOnItsOwnSideAndBackOnceItTakesWritesAgain) {
    frame(1, 2);
    EXPECT_TRUE(told.empty());
    transport.unplug(FakeHidTransport::pathOf(1));
    for (int i = 0; i < 5; ++i) {
        frame(3, 4);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], std::pair(std::string("K8055 card 1 (right)"), Output::State::Lost));
    EXPECT_EQ(right.state(), Output::State::Lost);
    EXPECT_EQ(left.state(), Output::State::Open);

    transport.plugBoard(1);
    for (int i = 0; i < 5; ++i) {
        clock.advance(k8055d::K8055Driver::kRetryInterval);
        frame(5, 6);
    }
    ASSERT_EQ(told.size(), 2u) << "back once, not once a frame";
    EXPECT_EQ(told[1], std::pair(std::string("K8055 card 1 (right)"), Output::State::Open));
    EXPECT_EQ(right.state(), Output::State::Open);
}

TEST_F(K8055OutputTest, ASideWithoutACardIsAbsentAndHearsNothingOfTheOthers) {
    kf::BoardRegistry::setCard(state, Rechts, 0);
    EXPECT_EQ(right.state(), Output::State::Absent);
    frame(1, 1);
    transport.unplug(FakeHidTransport::pathOf(0));
    for (int i = 0; i < 3; ++i) {
        frame(1, 1);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, "K8055 card 0 (left)");
}

}  // namespace
}  // namespace kf
