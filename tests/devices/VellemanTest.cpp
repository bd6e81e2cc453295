#include "devices/BoardRegistry.h"
#include "devices/Velleman.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include <optional>
#include <set>
#include <variant>

#include "devices/FakeHidTransport.h"
#include "devices/K8055Output.h"

namespace {

using k8055d::K8055Driver;
using kf::DeviceLabel;
using kftest::FakeHidTransport;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

Bytes report(std::uint8_t outputs) {
    return {0x00, 0x05, outputs, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}

// Records what the units write to the labels, in order.
class RecordingView final : public kf::DeviceView {
  public:
    struct Call {
        DeviceLabel label;
        std::variant<std::string, std::uint32_t> value;  // caption or colour
        bool operator==(const Call&) const = default;
    };
    void setCaption(DeviceLabel label, const std::string& caption) override {
        calls.push_back({label, caption});
    }
    void setBackColor(DeviceLabel label, std::uint32_t colour) override {
        calls.push_back({label, colour});
    }
    void setToolTip(DeviceLabel, const std::string&) override { ++toolTips; }

    std::optional<std::string> caption(DeviceLabel label) const {
        std::optional<std::string> last;
        for (const auto& c : calls) {
            if (c.label == label && std::holds_alternative<std::string>(c.value)) {
                last = std::get<std::string>(c.value);
            }
        }
        return last;
    }
    std::optional<std::uint32_t> colour(DeviceLabel label) const {
        std::optional<std::uint32_t> last;
        for (const auto& c : calls) {
            if (c.label == label && std::holds_alternative<std::uint32_t>(c.value)) {
                last = std::get<std::uint32_t>(c.value);
            }
        }
        return last;
    }
    bool touched(DeviceLabel label) const {
        return std::any_of(calls.begin(), calls.end(),
                           [&](const Call& c) { return c.label == label; });
    }

    std::vector<Call> calls;
    int toolTips = 0;
};

class VellemanTest : public ::testing::Test {
  protected:
    VellemanTest() {
        state.ColorOn = kf::kColorOn;
        state.ColorOff = kf::kColorOff;
    }

    void plugBoards(std::initializer_list<int> addresses) {
        for (int a : addresses) {
            transport.plugBoard(a);
        }
    }

    void search() { Velleman::ZoekK8055(state, view, driver); }

    void frame(std::int32_t left, std::int32_t right) {
        state.LedPattern(kf::Links) = left;
        state.LedPattern(kf::Rechts) = right;
        takeFrame();
    }
    void takeFrame() {
        const kf::LampFrame f = kf::LampFrame::of(state);
        left.take(f);
        right.take(f);
    }
    void switchOff() {
        left.startSwitchOff();
        right.startSwitchOff();
        left.finishSwitchOff();
        right.finishSwitchOff();
    }

    kf::SharedState state;
    RecordingView view;
    FakeHidTransport transport;
    kftest::FakeClock clock;
    K8055Driver driver{transport, clock.function()};
    kf::K8055Output left{state, kf::Links, driver};
    kf::K8055Output right{state, kf::Rechts, driver};
};

// --- The search ----------------------------------------------------------------------------

struct SearchCase {
    std::string name;
    std::vector<int> addresses;
    std::int32_t left;
    std::int32_t right;
};

class VellemanSearchTest : public VellemanTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(VellemanSearchTest, AssignsLowestLeftHighestRightAndShowsThem) {
    for (int a : GetParam().addresses) {
        transport.plugBoard(a);
    }
    search();
    const std::int32_t left = GetParam().left;
    const std::int32_t right = GetParam().right;
    EXPECT_EQ(state.K8055Card(kf::Links), left);
    EXPECT_EQ(state.K8055Card(kf::Rechts), right);
    EXPECT_EQ(state.K8055Active, !GetParam().addresses.empty());

    EXPECT_EQ(view.calls.front(), (RecordingView::Call{DeviceLabel::Zoeken, "Looking for K8055"}));
    if (left != 0) {
        EXPECT_EQ(view.caption(DeviceLabel::VellemanLinks),
                  "Velleman Left CardNr. " + std::to_string(left - 1));
        EXPECT_EQ(view.colour(DeviceLabel::VellemanLinks), kf::kColorOn);
    } else {
        EXPECT_FALSE(view.touched(DeviceLabel::VellemanLinks));
    }
    if (right != 0) {
        EXPECT_EQ(view.caption(DeviceLabel::VellemanRechts),
                  "Velleman Right CardNr. " + std::to_string(right - 1));
        EXPECT_EQ(view.colour(DeviceLabel::VellemanRechts), kf::kColorOn);
    } else {
        EXPECT_FALSE(view.touched(DeviceLabel::VellemanRechts));
    }
    EXPECT_EQ(view.toolTips, 0);
}

INSTANTIATE_TEST_SUITE_P(Boards, VellemanSearchTest,
                         ::testing::Values(SearchCase{"None", {}, 0, 0},
                                           SearchCase{"Address0", {0}, 1, 0},
                                           SearchCase{"Address2", {2}, 3, 0},
                                           SearchCase{"Address3", {3}, 4, 0},
                                           SearchCase{"Addresses0And1", {0, 1}, 1, 2},
                                           SearchCase{"Addresses1And3", {1, 3}, 2, 4},
                                           SearchCase{"Addresses0To2", {0, 1, 2}, 1, 3},
                                           SearchCase{"Addresses1To3", {3, 1, 2}, 2, 4},
                                           SearchCase{"AllFour", {2, 0, 3, 1}, 1, 4}),
                         [](const auto& info) { return info.param.name; });

TEST_F(VellemanTest, CaptionsAreExact) {
    plugBoards({0, 3});
    search();
    EXPECT_EQ(view.caption(DeviceLabel::VellemanLinks), "Velleman Left CardNr. 0");
    EXPECT_EQ(view.caption(DeviceLabel::VellemanRechts), "Velleman Right CardNr. 3");
}

TEST_F(VellemanTest, LabelsTakeTheStateOnColour) {
    state.ColorOn = 0x123456;
    plugBoards({1, 2});
    search();
    EXPECT_EQ(view.colour(DeviceLabel::VellemanLinks), 0x123456u);
    EXPECT_EQ(view.colour(DeviceLabel::VellemanRechts), 0x123456u);
}

TEST_F(VellemanTest, SearchForgetsEarlierCards) {
    kf::BoardRegistry::setCard(state, kf::Links, 2);
    kf::BoardRegistry::setCard(state, kf::Rechts, 4);
    search();
    EXPECT_EQ(state.K8055Card(kf::Links), 0);
    EXPECT_EQ(state.K8055Card(kf::Rechts), 0);
    EXPECT_FALSE(view.touched(DeviceLabel::VellemanLinks));
    EXPECT_FALSE(view.touched(DeviceLabel::VellemanRechts));
}

TEST_F(VellemanTest, ProductsThatAreNoBoardFindNothing) {
    transport.plug({k8055d::kVendorId, 0x5504, "/dev/hidraw4"});
    transport.plug({k8055d::kVendorId, 0x5508, "/dev/hidraw8"});
    search();
    EXPECT_FALSE(state.K8055Active);
    EXPECT_EQ(state.K8055Card(kf::Links), 0);
    EXPECT_EQ(state.K8055Card(kf::Rechts), 0);
}

// The masks a driver may give, including ones this driver never does.
struct MaskCase {
    std::string name;
    std::int32_t mask;
    bool active;
    std::int32_t left;
    std::int32_t right;
};

class VellemanMaskTest : public VellemanTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(VellemanMaskTest, AssignsFromTheMask) {
    Velleman::AssignCards(state, view, GetParam().mask);
    EXPECT_EQ(state.K8055Active, GetParam().active);
    EXPECT_EQ(state.K8055Card(kf::Links), GetParam().left);
    EXPECT_EQ(state.K8055Card(kf::Rechts), GetParam().right);
    EXPECT_EQ(view.touched(DeviceLabel::VellemanLinks), GetParam().left != 0);
    EXPECT_EQ(view.touched(DeviceLabel::VellemanRechts), GetParam().right != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, VellemanMaskTest,
    ::testing::Values(MaskCase{"Zero", 0, false, 0, 0}, MaskCase{"Negative", -1, false, 0, 0},
                      MaskCase{"OnlyBitsAboveEight", 0x10, true, 0, 0},
                      MaskCase{"ManyBitsAboveEight", 0x7FF0, true, 0, 0},
                      MaskCase{"AboveEightWithAddress1", 0x12, true, 2, 0},
                      MaskCase{"AllBitsButSign", 0x7FFF, true, 1, 4},
                      // Read as 16-bit signed: bit 15 makes it negative, so nothing is found.
                      MaskCase{"SignBitWithAddress0", 0x8001, false, 0, 0},
                      // Bits above 15 fall away in the 16-bit reading.
                      MaskCase{"AboveSixteenBitsOnly", 0x10000, false, 0, 0},
                      MaskCase{"AboveSixteenBitsWithAddress0", 0x10001, true, 1, 0}),
    [](const auto& info) { return info.param.name; });

// --- The frame step ------------------------------------------------------------------------

class VellemanFrameTest : public VellemanTest {
  protected:
    void SetUp() override {
        plugBoards({0, 1});
        search();
        transport.clearEvents();
    }
};

TEST_F(VellemanFrameTest, WritesEachSidesPatternLeftThenRightEveryFrame) {
    frame(0xA5, 0x3C);
    frame(0xA5, 0x3C);  // unchanged, written again
    frame(0x01, 0xFF);
    EXPECT_THAT(
        transport.writes(),
        ElementsAre(Pair("/dev/hidraw0", report(0xA5)), Pair("/dev/hidraw1", report(0x3C)),
                    Pair("/dev/hidraw0", report(0xA5)), Pair("/dev/hidraw1", report(0x3C)),
                    Pair("/dev/hidraw0", report(0x01)), Pair("/dev/hidraw1", report(0xFF))));
}

TEST_F(VellemanFrameTest, EachBoardIsSelectedBeforeItsWrite) {
    frame(0x0F, 0xF0);
    using Kind = FakeHidTransport::Event::Kind;
    const std::vector<FakeHidTransport::Event> expected = {
        {Kind::Open, "/dev/hidraw0", {}},
        {Kind::Write, "/dev/hidraw0", report(0x0F)},
        {Kind::Open, "/dev/hidraw1", {}},
        {Kind::Write, "/dev/hidraw1", report(0xF0)},
    };
    EXPECT_EQ(transport.events(), expected);
}

TEST_F(VellemanFrameTest, DisabledOutputWritesNothing) {
    state.K8055Active = false;
    frame(0xFF, 0xFF);
    EXPECT_THAT(transport.events(), IsEmpty());
}

TEST_F(VellemanTest, RightOnlyCardIsTheOnlyOneWritten) {
    plugBoards({0, 2});
    transport.refuseOpen(FakeHidTransport::pathOf(0));  // would show up if touched
    state.K8055Active = true;
    kf::BoardRegistry::setCard(state, kf::Links, 0);
    kf::BoardRegistry::setCard(state, kf::Rechts, 3);
    frame(0x11, 0x22);
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw2", report(0x22))));
    EXPECT_THAT(transport.eventsOf(FakeHidTransport::Event::Kind::OpenRefused), IsEmpty());
}

TEST_F(VellemanTest, BitsOnlyAboveEightEnableButWriteNothing) {
    plugBoards({0});
    Velleman::AssignCards(state, view, 0x20);
    frame(0xFF, 0xFF);
    switchOff();
    EXPECT_TRUE(state.K8055Active);
    EXPECT_THAT(transport.events(), IsEmpty());
}

TEST_F(VellemanFrameTest, FailingLeftWriteLeavesTheRightSideWritten) {
    transport.failWrites(FakeHidTransport::pathOf(0), -1);
    EXPECT_NO_THROW({
        frame(0x01, 0x02);
        frame(0x03, 0x04);
        frame(0x05, 0x06);
    });
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw1", report(0x02)), Pair("/dev/hidraw1", report(0x04)),
                            Pair("/dev/hidraw1", report(0x06))));
}

TEST_F(VellemanFrameTest, ShortRightWriteDoesNotStopTheNextFrame) {
    transport.failWrites(FakeHidTransport::pathOf(1), 5);
    frame(0x01, 0x02);
    transport.clearWriteFailure(FakeHidTransport::pathOf(1));
    frame(0x03, 0x04);  // the board is still there: reopened and repaired
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw0", report(0x01)), Pair("/dev/hidraw0", report(0x03)),
                            Pair("/dev/hidraw1", report(0x04))));
}

TEST_F(VellemanFrameTest, VanishedLeftBoardLeavesTheRightWrittenAndComesBack) {
    frame(0x01, 0x02);
    transport.unplug(FakeHidTransport::pathOf(0));
    for (int i = 0; i < 5; ++i) {
        EXPECT_NO_THROW(frame(0x10 + i, 0x20 + i));
    }
    transport.plugBoard(0, "/dev/hidraw5");
    clock.advance(K8055Driver::kRetryInterval);
    frame(0x77, 0x88);
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw0", report(0x01)), Pair("/dev/hidraw1", report(0x02)),
                            Pair("/dev/hidraw1", report(0x20)), Pair("/dev/hidraw1", report(0x21)),
                            Pair("/dev/hidraw1", report(0x22)), Pair("/dev/hidraw1", report(0x23)),
                            Pair("/dev/hidraw1", report(0x24)), Pair("/dev/hidraw5", report(0x77)),
                            Pair("/dev/hidraw1", report(0x88))));
}

TEST_F(VellemanFrameTest, RefusedLeftOpenLeavesTheRightWritten) {
    transport.refuseOpen(FakeHidTransport::pathOf(0));
    frame(0x01, 0x02);
    frame(0x03, 0x04);
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw1", report(0x02)),
                                                Pair("/dev/hidraw1", report(0x04))));
}

// --- Shutdown ------------------------------------------------------------------------------

TEST_F(VellemanFrameTest, OffStepClearsBothBoardsWhetherEnabledOrNot) {
    for (bool active : {true, false}) {
        transport.clearEvents();
        state.K8055Active = active;
        state.LedPattern(kf::Links) = 0xFF;
        state.LedPattern(kf::Rechts) = 0xFF;
        switchOff();
        EXPECT_THAT(transport.writes(),
                    ElementsAre(Pair("/dev/hidraw0", report(0)), Pair("/dev/hidraw1", report(0))))
            << active;
    }
}

TEST_F(VellemanTest, OffStepSkipsTheSideWithoutACard) {
    plugBoards({0, 3});
    kf::BoardRegistry::setCard(state, kf::Links, 0);
    kf::BoardRegistry::setCard(state, kf::Rechts, 4);
    switchOff();
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw3", report(0))));
}

TEST_F(VellemanTest, OffStepWithoutCardsTouchesNoBoard) {
    plugBoards({0});
    switchOff();
    EXPECT_THAT(transport.events(), IsEmpty());
}

// --- The switch ----------------------------------------------------------------------------

TEST_F(VellemanTest, ToggleSwitchesWithABoardAtAnyAddress) {
    kf::BoardRegistry::setCard(state, kf::Links, 3);
    state.K8055Active = true;
    EXPECT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOff);
    EXPECT_FALSE(state.K8055Active);
    EXPECT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOn);
    EXPECT_TRUE(state.K8055Active);
}

// Latest frame wins, as for every board: while a board's writer still has a report under way,
// a frame for it is skipped whole; the next one carries the whole state again.
TEST_F(VellemanTest, AFrameForABoardWhoseReportIsStillUnderWayIsSkipped) {
    transport.setWriterThreads(true);
    transport.setWriteTime(std::chrono::milliseconds(40));
    plugBoards({0});
    search();
    frame(0x01, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the transfer is under way
    frame(0x02, 0);
    ASSERT_TRUE(driver.Drain(0, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
    frame(0x03, 0);
    ASSERT_TRUE(driver.Drain(0, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
    std::vector<int> outputs;
    for (const auto& [path, bytes] : transport.writes()) {
        outputs.push_back(bytes.at(2));
    }
    EXPECT_EQ(outputs, (std::vector<int>{0x01, 0x03}));
}

TEST_F(VellemanTest, ToggleSwitchesWithOnlyARightCard) {
    kf::BoardRegistry::setCard(state, kf::Rechts, 4);
    EXPECT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOn);
    EXPECT_TRUE(state.K8055Active);
}

TEST_F(VellemanTest, ToggleWithoutCardsUnticksAndLeavesTheFlag) {
    for (bool active : {false, true}) {
        state.K8055Active = active;
        EXPECT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::Untick);
        EXPECT_EQ(state.K8055Active, active);
    }
}

// --- A whole run ---------------------------------------------------------------------------

TEST_F(VellemanTest, SwitchedOffOutputStaysQuietUntilOnAndIsClearedAtShutdown) {
    plugBoards({2});
    search();
    ASSERT_EQ(state.K8055Card(kf::Links), 3);
    frame(0x81, 0);
    ASSERT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOff);
    frame(0x82, 0);
    frame(0x83, 0);
    ASSERT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOn);
    frame(0x84, 0);
    ASSERT_EQ(Velleman::Toggle(state), Velleman::SwitchResult::TurnedOff);
    switchOff();
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw2", report(0x81)), Pair("/dev/hidraw2", report(0x84)),
                            Pair("/dev/hidraw2", report(0x00))));
}

}  // namespace
