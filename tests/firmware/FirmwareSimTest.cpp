// The built firmware (target kf_firmware) running in simavr: what the board does on its pins.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "Font.h"
#include "ProgramPort.h"
#include "avrsim/AvrSim.h"
#include "avrsim/PtyBridge.h"
#include "support/Require.h"

namespace kf::avrsim {
namespace {

using namespace std::chrono_literals;
using fw::BoardType;

constexpr std::uint64_t kCyclesPerMs = AvrSim::kFrequency / 1000;

std::string firmwarePath(BoardType type) {
    const char* dir = std::getenv("KF_FIRMWARE_DIR");
    return std::string(dir && *dir ? dir : KF_FIRMWARE_DIR) + "/kleurflits-" + fw::typeCode(type) +
           ".elf";
}

// Fails the test when the firmware was not built.
#define KF_LOAD_OR_SKIP(sim, type)                                         \
    const std::string path_##sim = firmwarePath(type);                     \
    KF_REQUIRE(std::filesystem::exists(path_##sim),                        \
               path_##sim << " (the build makes it: target kf_firmware)"); \
    AvrSim sim(path_##sim, type);                                          \
    ASSERT_TRUE(sim.runFor(2ms)) << "firmware stopped during start-up"

std::string glyphs(const Outputs& o) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s += static_cast<char>(o.display[2 * i] & ~fw::kDecimalPoint);
    }
    return s;
}

std::string glyphsOf(const std::string& text) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s += static_cast<char>(i < static_cast<int>(text.size()) ? fw::glyph(text[i]) : 0);
    }
    return s;
}

class Firmware : public ::testing::TestWithParam<BoardType> {};

TEST_P(Firmware, AnswersTheRequestWithItsCodeAndNothingElse) {
    KF_LOAD_OR_SKIP(sim, GetParam());
    sim.send("(ZMD)");
    ASSERT_TRUE(sim.runFor(3ms));
    EXPECT_EQ(sim.takeOutput(), "") << "the probe is no request";
    sim.send("90/");
    ASSERT_TRUE(sim.runUntil([&] { return sim.receivedCount() == 8; }, 5ms));
    ASSERT_TRUE(sim.runFor(5ms));
    EXPECT_EQ(sim.takeOutput(), fw::typeCode(GetParam()));
    EXPECT_EQ(sim.outputs().lamps, 0) << "lamps start dark";
}

TEST_P(Firmware, PatternSetsTheLampsWithinTwoMillisecondsOfItsLastByte) {
    KF_LOAD_OR_SKIP(sim, GetParam());
    ASSERT_EQ(sim.outputs().lamps, 0);
    sim.send("1/7/");
    ASSERT_TRUE(sim.runUntil([&] { return sim.receivedCount() == 4; }, 5ms));
    const std::uint64_t lastByte = sim.lastReceivedCycle();
    ASSERT_TRUE(sim.runUntil([&] { return sim.cycle() >= lastByte + 2 * kCyclesPerMs; }, 3ms));
    EXPECT_EQ(sim.outputs().lamps, 0b00000111) << "lamps 1-3 on (D2-D4), 4-8 off";
    if (GetParam() == BoardType::TM) {
        EXPECT_EQ(sim.outputs().ledMask(), 0b00000111) << "the TM1638's LEDs 1-3";
        EXPECT_TRUE(sim.outputs().displayOn);
    }
    sim.send("1/128/");
    ASSERT_TRUE(sim.runFor(2ms));
    EXPECT_EQ(sim.outputs().lamps, 0b10000000) << "lamp 8 is D9";
}

TEST_P(Firmware, AllOffSwitchesEveryLampAndPeakOff) {
    KF_LOAD_OR_SKIP(sim, GetParam());
    sim.send("1/255/4/255/");
    ASSERT_TRUE(sim.runFor(3ms));
    ASSERT_EQ(sim.outputs().lamps, 255);
    sim.send("1/0/");
    ASSERT_TRUE(sim.runFor(2ms));
    EXPECT_EQ(sim.outputs().lamps, 0);
    EXPECT_EQ(sim.outputs().peaks, 0);
    EXPECT_EQ(sim.outputs().ledMask(), 0);
    EXPECT_EQ(sim.outputs().dotMask(), 0);
}

TEST_P(Firmware, SurvivesGarbageFromItsFirstCycleOn) {
    const std::string path = firmwarePath(GetParam());
    KF_REQUIRE(std::filesystem::exists(path), path << " (the build makes it: target kf_firmware)");
    AvrSim sim(path, GetParam());
    std::string junk = "(ZMD)\xff\x80\x00/1/999/4//9/" + std::string(300, 'W') + "/" +
                       std::string(200, '7') + "/1/-3/9/\xc3\xa9t\xe9/";
    junk.push_back('\0');
    junk += "/";
    sim.send(junk);  // while the firmware is still starting
    sim.send("1/5/90/");
    std::string answer;
    ASSERT_TRUE(sim.runUntil(
        [&] {
            answer += sim.takeOutput();
            return answer.size() >= 2;
        },
        200ms))
        << "no answer; firmware stopped or lost its way";
    ASSERT_TRUE(sim.runFor(5ms));
    answer += sim.takeOutput();
    EXPECT_EQ(answer, fw::typeCode(GetParam()));
    EXPECT_EQ(sim.outputs().lamps, 5);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, Firmware,
                         ::testing::Values(BoardType::ET, BoardType::AL, BoardType::TM),
                         [](const auto& info) { return std::string(fw::typeCode(info.param)); });

TEST(FirmwareAl, PeakMaskShowsOnItsOwnPinsUntilTheNextPattern) {
    KF_LOAD_OR_SKIP(sim, BoardType::AL);
    sim.send("1/7/4/2/");
    ASSERT_TRUE(sim.runFor(3ms));
    EXPECT_EQ(sim.outputs().lamps, 7);
    EXPECT_EQ(sim.outputs().peaks, 2) << "peak 2 is D11";
    sim.send("4/240/");
    ASSERT_TRUE(sim.runFor(2ms));
    EXPECT_EQ(sim.outputs().peaks, 240) << "peaks 5-8 are A0-A3";
    sim.send("1/7/");
    ASSERT_TRUE(sim.runFor(2ms));
    EXPECT_EQ(sim.outputs().peaks, 0);
}

TEST(FirmwareEt, IgnoresPeaksAndTexts) {
    KF_LOAD_OR_SKIP(sim, BoardType::ET);
    sim.send("1/3/4/255/9/LEFT/");
    ASSERT_TRUE(sim.runFor(4ms));
    EXPECT_EQ(sim.outputs().lamps, 3);
    for (const Change& c : sim.changes()) {
        EXPECT_EQ(c.outputs.lamps & ~3, 0);
    }
}

TEST(FirmwareTm, TextOnTheDigitsAndPeaksOnTheDecimalPoints) {
    KF_LOAD_OR_SKIP(sim, BoardType::TM);
    sim.send("9/   RIGHT/");
    ASSERT_TRUE(sim.runFor(5ms));
    EXPECT_EQ(glyphs(sim.outputs()), glyphsOf("   RIGHT"));
    EXPECT_EQ(sim.outputs().digitText(), "   RIGHT");
    sim.send("1/7/4/2/");
    ASSERT_TRUE(sim.runFor(4ms));
    EXPECT_EQ(sim.outputs().dotMask(), 0b00000010);
    EXPECT_EQ(sim.outputs().ledMask(), 0b00000111);
    EXPECT_EQ(glyphs(sim.outputs()), glyphsOf("   RIGHT")) << "peaks leave the text alone";
    sim.send("9/LEFT/");
    ASSERT_TRUE(sim.runFor(4ms));
    EXPECT_EQ(sim.outputs().digitText(), "LEFT    ");
    sim.send("9/TOOLONGTEXT/");
    ASSERT_TRUE(sim.runFor(4ms));
    EXPECT_EQ(sim.outputs().digitText(), "LEFT    ") << "a text over 8 characters is ignored";
}

// Like a Nano on USB: opening the port resets the board, and its bootloader eats what arrives
// in its first half second; then the firmware answers and drives its pins.
TEST(FirmwarePty, OpeningThePortResetsTheBoardAndItAnswersAfterItsBoot) {
    const std::string path = firmwarePath(BoardType::TM);
    KF_REQUIRE(std::filesystem::exists(path), path << " (the build makes it: target kf_firmware)");
    AvrSim sim(path, BoardType::TM);
    PtyBridge bridge(sim);
    {
        boardsim::test::ProgramPort port(bridge.slavePath());
        port.write("90/");
        EXPECT_EQ(port.readFor(300ms), "") << "answered inside the bootloader's time";
        std::this_thread::sleep_for(300ms);
        port.write("90/");
        EXPECT_EQ(port.readAtLeast(2, 2s), "TM");
        port.write("9/LEFT/1/7/");
        EXPECT_TRUE(bridge.waitFor(
            [](const AvrSim& s) {
                return s.outputs().lamps == 7 && s.outputs().digitText() == "LEFT    ";
            },
            2s));
        EXPECT_EQ(bridge.resetCount(), 1);
    }
    // Closing leaves the board as it is; the next open resets it, lamps and text included.
    std::this_thread::sleep_for(50ms);
    int lamps = -1;
    bridge.withSim([&](AvrSim& s) { lamps = s.outputs().lamps; });
    EXPECT_EQ(lamps, 7);
    boardsim::test::ProgramPort again(bridge.slavePath());
    EXPECT_TRUE(bridge.waitFor(
        [](const AvrSim& s) { return s.resetCount() == 2 && s.outputs().lamps == 0; }, 2s));
    std::this_thread::sleep_for(600ms);
    again.write("90/");
    EXPECT_EQ(again.readAtLeast(2, 2s), "TM");
}

}  // namespace
}  // namespace kf::avrsim
