#include "devices/k8055d.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devices/FakeHidTransport.h"

namespace {

using k8055d::K8055Driver;
using kftest::FakeHidTransport;
using Kind = FakeHidTransport::Event::Kind;
using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

Bytes report(std::uint8_t outputs) {
    return {0x00, 0x05, outputs, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}

class K8055DriverTest : public ::testing::Test {
  protected:
    FakeHidTransport transport;
    kftest::FakeClock clock;
    K8055Driver driver{transport, clock.function()};

    void afterRetryInterval() { clock.advance(K8055Driver::kRetryInterval); }
};

// --- SearchDevices -------------------------------------------------------------------------

TEST_F(K8055DriverTest, SearchWithoutBoardsGivesZero) {
    EXPECT_EQ(driver.SearchDevices(), 0);
    EXPECT_THAT(transport.enumeratedVendors, ElementsAre(0x10CF));
}

TEST_F(K8055DriverTest, SearchSetsTheBitOfEachBoardAddress) {
    transport.plugBoard(2);
    EXPECT_EQ(driver.SearchDevices(), 0b0100);
    transport.plugBoard(0);
    EXPECT_EQ(driver.SearchDevices(), 0b0101);
    transport.plugBoard(1);
    transport.plugBoard(3);
    EXPECT_EQ(driver.SearchDevices(), 0b1111);
    transport.unplug(FakeHidTransport::pathOf(2));
    EXPECT_EQ(driver.SearchDevices(), 0b1011);
}

TEST_F(K8055DriverTest, LookingForNewBoardsKeepsTheSelectionAndTheRetryPause) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(1), -1);  // absent: looked for again after the pause
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    transport.plugBoard(1);
    EXPECT_EQ(driver.PresentBoards(), 0b0011);
    EXPECT_TRUE(driver.WriteAllDigital(0x21)) << "board 0 is still selected";
    EXPECT_EQ(driver.SetCurrentDevice(1), -1) << "still within the pause";
    afterRetryInterval();
    EXPECT_EQ(driver.SetCurrentDevice(1), 1);
}

TEST(K8055Report, TheOutputsReportIsReportFiveWithTheLowEightBitsAndTheAnalogValues) {
    EXPECT_EQ(k8055d::outputsReport(0x1A5), (k8055d::OutputsReport{0, 5, 0xA5, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(k8055d::outputsReport(0, 12, 255),
              (k8055d::OutputsReport{0, 5, 0, 12, 255, 0, 0, 0, 0}));
}

TEST_F(K8055DriverTest, SearchIgnoresProductsThatAreNoBoard) {
    for (std::uint16_t product : {0x54FF, 0x5504, 0x5508, 0x5510, 0x55FF}) {
        transport.plug({0x10CF, product, "/dev/hidraw-p" + std::to_string(product)});
    }
    // Same product from another vendor.
    transport.plug({0x10CE, 0x5500, "/dev/hidraw-other"});
    EXPECT_EQ(driver.SearchDevices(), 0);
    EXPECT_EQ(driver.SetCurrentDevice(0), -1);
}

TEST_F(K8055DriverTest, TwoBoardsWithTheSameAddressUseTheFirstListed) {
    transport.plugBoard(1, "/dev/hidraw5");
    transport.plugBoard(1, "/dev/hidraw6");
    EXPECT_EQ(driver.SearchDevices(), 0b0010);
    ASSERT_EQ(driver.SetCurrentDevice(1), 1);
    ASSERT_TRUE(driver.WriteAllDigital(7));
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw5", report(7))));
}

// --- SetCurrentDevice ----------------------------------------------------------------------

TEST_F(K8055DriverTest, SelectingOpensTheBoardOnceAndKeepsItOpen) {
    transport.plugBoard(3, "/dev/hidraw9");
    driver.SearchDevices();
    transport.clearEvents();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(driver.SetCurrentDevice(3), 3);
    }
    EXPECT_EQ(transport.eventsOf(Kind::Open).size(), 1u);
    EXPECT_EQ(transport.eventsOf(Kind::Open)[0].path, "/dev/hidraw9");
    // The path from the search was used: no second enumeration.
    EXPECT_THAT(transport.eventsOf(Kind::Enumerate), IsEmpty());
    EXPECT_EQ(transport.openHandles(), 1);
}

TEST_F(K8055DriverTest, SelectingWithoutASearchLooksTheBoardUp) {
    transport.plugBoard(2);
    EXPECT_EQ(driver.SetCurrentDevice(2), 2);
    EXPECT_EQ(transport.eventsOf(Kind::Enumerate).size(), 1u);
    EXPECT_TRUE(driver.WriteAllDigital(1));
}

TEST_F(K8055DriverTest, AddressesOutsideZeroToThreeAreRefused) {
    for (int a = 0; a < 4; ++a) {
        transport.plugBoard(a);
    }
    driver.SearchDevices();
    transport.clearEvents();
    for (std::int32_t address : {-1, 4, 5, 255, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(driver.SetCurrentDevice(address), -1) << address;
        EXPECT_FALSE(driver.WriteAllDigital(1)) << address;
    }
    EXPECT_THAT(transport.events(), IsEmpty());
}

TEST_F(K8055DriverTest, AbsentBoardIsRefused) {
    transport.plugBoard(0);
    driver.SearchDevices();
    EXPECT_EQ(driver.SetCurrentDevice(1), -1);
    EXPECT_FALSE(driver.WriteAllDigital(0xFF));
    EXPECT_THAT(transport.writes(), IsEmpty());
}

TEST_F(K8055DriverTest, BoardWhoseOpenIsRefusedIsReportedAbsent) {
    transport.plugBoard(0);
    transport.refuseOpen(FakeHidTransport::pathOf(0));
    EXPECT_EQ(driver.SearchDevices(), 0b0001);  // listed, just not permitted
    EXPECT_NO_THROW({
        EXPECT_EQ(driver.SetCurrentDevice(0), -1);
        EXPECT_FALSE(driver.WriteAllDigital(0x0F));
    });
    EXPECT_THAT(transport.writes(), IsEmpty());
}

TEST_F(K8055DriverTest, FailedSelectionDeselectsThePreviousBoard) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    EXPECT_EQ(driver.SetCurrentDevice(1), -1);
    // Must not land on board 0.
    EXPECT_FALSE(driver.WriteAllDigital(0x55));
    EXPECT_THAT(transport.writes(), IsEmpty());
}

// --- WriteAllDigital -----------------------------------------------------------------------

TEST_F(K8055DriverTest, WriteSendsReportFiveWithTheOutputsAndZeroAnalogs) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    EXPECT_TRUE(driver.WriteAllDigital(0xA5));
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw0",
                                 Bytes{0x00, 0x05, 0xA5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})));
}

TEST_F(K8055DriverTest, WriteKeepsTheLowEightBits) {
    transport.plugBoard(1);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(1), 1);
    const std::vector<std::pair<std::int32_t, std::uint8_t>> cases = {
        {0, 0x00}, {1, 0x01}, {0x80, 0x80}, {0xFF, 0xFF}, {0x100, 0x00}, {0x1A5, 0xA5}, {-1, 0xFF},
    };
    for (const auto& [value, outputs] : cases) {
        transport.clearEvents();
        EXPECT_TRUE(driver.WriteAllDigital(value));
        EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw1", report(outputs))))
            << value;
    }
}

TEST_F(K8055DriverTest, WriteWithoutSelectionSendsNothing) {
    transport.plugBoard(0);
    driver.SearchDevices();
    EXPECT_FALSE(driver.WriteAllDigital(1));
    EXPECT_THAT(transport.writes(), IsEmpty());
}

TEST_F(K8055DriverTest, WritesGoToTheBoardSelectedLast) {
    transport.plugBoard(0);
    transport.plugBoard(3);
    driver.SearchDevices();
    driver.SetCurrentDevice(3);
    driver.WriteAllDigital(0x30);
    driver.SetCurrentDevice(0);
    driver.WriteAllDigital(0x01);
    driver.WriteAllDigital(0x02);
    driver.SetCurrentDevice(3);
    driver.WriteAllDigital(0x31);
    EXPECT_THAT(
        transport.writes(),
        ElementsAre(Pair("/dev/hidraw3", report(0x30)), Pair("/dev/hidraw0", report(0x01)),
                    Pair("/dev/hidraw0", report(0x02)), Pair("/dev/hidraw3", report(0x31))));
    EXPECT_EQ(transport.eventsOf(Kind::Open).size(), 2u);
}

// --- Failing and vanishing boards ----------------------------------------------------------

class K8055DriverFailingWriteTest : public K8055DriverTest,
                                    public ::testing::WithParamInterface<int> {};

TEST_P(K8055DriverFailingWriteTest, FailedWriteDropsTheHandleAndAHealthyBoardReopens) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    transport.failWrites(FakeHidTransport::pathOf(0), GetParam());
    EXPECT_FALSE(driver.WriteAllDigital(0x11));
    EXPECT_EQ(transport.openHandles(), 0);
    // The failure deselected the board.
    transport.clearWriteFailure(FakeHidTransport::pathOf(0));
    EXPECT_FALSE(driver.WriteAllDigital(0x12));
    // The next selection tries again at once and finds the board still there.
    EXPECT_EQ(driver.SetCurrentDevice(0), 0);
    EXPECT_TRUE(driver.WriteAllDigital(0x13));
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw0", report(0x13))));
    EXPECT_EQ(transport.eventsOf(Kind::Open).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(ErrorAndShortWrite, K8055DriverFailingWriteTest,
                         ::testing::Values(-1, 0, 1, 8, 10));

TEST_F(K8055DriverTest, UnpluggedBoardFailsQuietlyAndIsLookedForOnlyNowAndThen) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    transport.unplug(FakeHidTransport::pathOf(0));
    EXPECT_NO_THROW(EXPECT_FALSE(driver.WriteAllDigital(1)));
    transport.clearEvents();

    EXPECT_EQ(driver.SetCurrentDevice(0), -1);  // looked up once: gone
    EXPECT_EQ(transport.eventsOf(Kind::Enumerate).size(), 1u);
    for (int frame = 0; frame < 50; ++frame) {
        clock.advance(std::chrono::milliseconds(10));
        EXPECT_EQ(driver.SetCurrentDevice(0), -1);
        EXPECT_FALSE(driver.WriteAllDigital(1));
    }
    EXPECT_EQ(transport.eventsOf(Kind::Enumerate).size(), 1u);
    afterRetryInterval();
    EXPECT_EQ(driver.SetCurrentDevice(0), -1);
    EXPECT_EQ(transport.eventsOf(Kind::Enumerate).size(), 2u);
    EXPECT_THAT(transport.writes(), IsEmpty());
}

TEST_F(K8055DriverTest, BoardPluggedBackInWorksAgainAtItsNewPath) {
    transport.plugBoard(2, "/dev/hidraw4");
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(2), 2);
    transport.unplug("/dev/hidraw4");
    EXPECT_FALSE(driver.WriteAllDigital(1));
    EXPECT_EQ(driver.SetCurrentDevice(2), -1);

    // The old node now belongs to something else; the board comes back elsewhere.
    transport.plug({0x046D, 0xC31C, "/dev/hidraw4"});
    transport.plugBoard(2, "/dev/hidraw7");
    afterRetryInterval();
    EXPECT_EQ(driver.SetCurrentDevice(2), 2);
    EXPECT_TRUE(driver.WriteAllDigital(0x42));
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw7", report(0x42))));
}

TEST_F(K8055DriverTest, ReplugAtTheSamePathIsNoticedOnTheFirstFailedWrite) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    transport.unplug(FakeHidTransport::pathOf(0));
    transport.plugBoard(0);  // old handle is stale
    EXPECT_FALSE(driver.WriteAllDigital(1));
    EXPECT_EQ(driver.SetCurrentDevice(0), 0);
    EXPECT_TRUE(driver.WriteAllDigital(2));
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw0", report(2))));
}

TEST_F(K8055DriverTest, RefusedOpenIsRetriedAfterTheIntervalAndThenWorks) {
    transport.plugBoard(1);
    transport.refuseOpen(FakeHidTransport::pathOf(1));
    driver.SearchDevices();
    EXPECT_EQ(driver.SetCurrentDevice(1), -1);
    EXPECT_EQ(driver.SetCurrentDevice(1), -1);
    EXPECT_EQ(transport.eventsOf(Kind::OpenRefused).size(), 1u);
    transport.allowOpen(FakeHidTransport::pathOf(1));
    afterRetryInterval();
    EXPECT_EQ(driver.SetCurrentDevice(1), 1);
    EXPECT_TRUE(driver.WriteAllDigital(0x80));
}

TEST_F(K8055DriverTest, BoardThatMovedBeforeItsFirstOpenIsFoundAtItsNewPath) {
    transport.plugBoard(3, "/dev/hidraw2");
    driver.SearchDevices();
    transport.unplug("/dev/hidraw2");
    transport.plugBoard(3, "/dev/hidraw8");
    EXPECT_EQ(driver.SetCurrentDevice(3), -1);  // the searched path is gone
    afterRetryInterval();
    EXPECT_EQ(driver.SetCurrentDevice(3), 3);
    EXPECT_TRUE(driver.WriteAllDigital(0x33));
    EXPECT_THAT(transport.writes(), ElementsAre(Pair("/dev/hidraw8", report(0x33))));
}

TEST_F(K8055DriverTest, OneMissingBoardDoesNotHoldTheOtherBack) {
    transport.plugBoard(0);
    transport.plugBoard(1);
    driver.SearchDevices();
    transport.unplug(FakeHidTransport::pathOf(1));
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(driver.SetCurrentDevice(0), 0);
        EXPECT_TRUE(driver.WriteAllDigital(frame));
        EXPECT_EQ(driver.SetCurrentDevice(1), -1);
        EXPECT_FALSE(driver.WriteAllDigital(0xF0 + frame));
    }
    EXPECT_THAT(transport.writes(),
                ElementsAre(Pair("/dev/hidraw0", report(0)), Pair("/dev/hidraw0", report(1)),
                            Pair("/dev/hidraw0", report(2))));
}

TEST_F(K8055DriverTest, NewSearchDropsHandlesOfBoardsNoLongerListed) {
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    transport.unplug(FakeHidTransport::pathOf(0));
    EXPECT_EQ(driver.SearchDevices(), 0);
    EXPECT_EQ(transport.openHandles(), 0);
    EXPECT_FALSE(driver.WriteAllDigital(1));
}

// --- Presence changes ----------------------------------------------------------------------

class K8055PresenceTest : public K8055DriverTest {
  protected:
    std::vector<std::pair<std::int32_t, bool>> told;
    void SetUp() override {
        driver.setPresenceHandler(
            [this](std::int32_t a, bool present) { told.emplace_back(a, present); });
    }
    // One frame's write to each board.
    void frame(std::int32_t pattern) {
        for (std::int32_t a : {0, 3}) {
            if (driver.SetCurrentDevice(a) == a) {
                driver.WriteAllDigital(pattern);
            }
        }
        clock.advance(std::chrono::milliseconds(10));
    }
};

TEST_F(K8055PresenceTest, ABoardWhoseWritesFailIsToldGoneOnceAndTheOtherGoesOn) {
    transport.plugBoard(0);
    transport.plugBoard(3);
    driver.SearchDevices();
    frame(1);
    EXPECT_THAT(told, IsEmpty());
    transport.unplug(FakeHidTransport::pathOf(0));
    for (int i = 0; i < 300; ++i) {  // three seconds of frames: several retries
        frame(2);
    }
    EXPECT_THAT(told, ElementsAre(Pair(0, false)));
    EXPECT_EQ(transport.writes().size(), 1U + 1U + 300U) << "board 3 had every frame";
}

TEST_F(K8055PresenceTest, ABoardThatStillOpensButFailsEveryWriteIsToldGoneOnce) {
    transport.plugBoard(0);
    driver.SearchDevices();
    frame(1);
    transport.failWrites(FakeHidTransport::pathOf(0), -1);  // e.g. its firmware hung
    for (int i = 0; i < 500; ++i) {                         // five seconds: reopened each second
        frame(2);
    }
    EXPECT_GT(transport.eventsOf(Kind::WriteFailed).size(), 2U);
    EXPECT_THAT(told, ElementsAre(Pair(0, false)));
}

TEST_F(K8055PresenceTest, AFailedOpenOfABoardNeverOpenedIsNoChange) {
    transport.plugBoard(0);
    transport.refuseOpen(FakeHidTransport::pathOf(0));
    driver.SearchDevices();
    for (int i = 0; i < 200; ++i) {
        frame(1);
    }
    EXPECT_THAT(told, IsEmpty());
}

TEST_F(K8055PresenceTest, ABoardGoneFromTheListIsToldGoneWhenTheListIsRead) {
    transport.plugBoard(0);
    transport.plugBoard(3);
    driver.SearchDevices();
    frame(1);
    transport.unplug(FakeHidTransport::pathOf(3));
    driver.SearchDevices();  // any enumeration drops the vanished board's handle
    EXPECT_THAT(told, ElementsAre(Pair(3, false)));
}

TEST_F(K8055PresenceTest, ABoardBackAfterALossIsToldBackOnceItsWritesGoThrough) {
    transport.plugBoard(0);
    driver.SearchDevices();
    frame(1);
    transport.unplug(FakeHidTransport::pathOf(0));
    frame(2);
    ASSERT_THAT(told, ElementsAre(Pair(0, false)));
    transport.plugBoard(0);
    afterRetryInterval();
    frame(3);
    EXPECT_EQ(told.size(), 1U) << "one accepted write is not yet proof";
    frame(4);
    frame(5);
    EXPECT_THAT(told, ElementsAre(Pair(0, false), Pair(0, true)));
}

// --- Drain -----------------------------------------------------------------------------------

TEST_F(K8055DriverTest, DrainWaitsForTheOffReportOnTheWriterThread) {
    transport.setWriterThreads(true);
    transport.setWriteTime(std::chrono::milliseconds(8));
    transport.plugBoard(0);
    driver.SearchDevices();
    ASSERT_EQ(driver.SetCurrentDevice(0), 0);
    ASSERT_TRUE(driver.WriteAllDigital(0x08));
    ASSERT_TRUE(driver.WriteAllDigital(0));
    EXPECT_TRUE(driver.Drain(0, std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    const auto writes = transport.writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_THAT(writes.back(), Pair("/dev/hidraw0", report(0)));
}

TEST_F(K8055DriverTest, DrainOfABoardNotOpenHasNothingToWaitFor) {
    transport.plugBoard(1);
    driver.SearchDevices();
    const auto now = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver.Drain(1, now));
    EXPECT_TRUE(driver.Drain(2, now));
    EXPECT_TRUE(driver.Drain(-1, now));
    EXPECT_TRUE(driver.Drain(4, now));
}

TEST(K8055DriverLifetime, ClosesItsHandlesWhenDestroyed) {
    FakeHidTransport transport;
    transport.plugBoard(0);
    transport.plugBoard(3);
    {
        K8055Driver driver(transport);
        driver.SearchDevices();
        driver.SetCurrentDevice(0);
        driver.SetCurrentDevice(3);
        EXPECT_EQ(transport.openHandles(), 2);
    }
    EXPECT_EQ(transport.openHandles(), 0);
    EXPECT_EQ(transport.eventsOf(Kind::Close).size(), 2u);
}

}  // namespace
