#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>
#include <thread>

#include "ProgramPort.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Escape.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/Kinds.h"
#include "boardsim/SilentSim.h"

namespace kf::boardsim {
namespace {

using namespace std::chrono_literals;
using test::ProgramPort;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

TEST(BoardSimPty, SlaveIsAFreshPseudoTerminalUnderANameOfItsOwn) {
    SilentSim a;
    SilentSim b;
    EXPECT_THAT(a.devicePath(), StartsWith("/dev/pts/"));
    EXPECT_THAT(a.slavePath(), Not(StartsWith("/dev/")));
    EXPECT_NE(a.slavePath(), b.slavePath());
    struct stat info {};
    struct stat device {};
    ASSERT_EQ(stat(a.slavePath().c_str(), &info), 0);
    ASSERT_EQ(stat(a.devicePath().c_str(), &device), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(info.st_rdev, device.st_rdev);
}

// Pseudo-terminal numbers are the whole machine's: a program still watching a pulled board's
// name must never find another process's new board behind it.
TEST(BoardSimPty, APulledBoardsNameNeverLeadsToTheNextPseudoTerminal) {
    std::string name;
    {
        SilentSim pulled;
        name = pulled.slavePath();
    }
    struct stat info {};
    EXPECT_NE(lstat(name.c_str(), &info), 0) << name << " outlived its board";
    SilentSim next;
    EXPECT_NE(next.slavePath(), name);
    EXPECT_NE(lstat(name.c_str(), &info), 0);
}

TEST(BoardSimLog, EveryByteIsRecordedInOrderWithTimes) {
    SilentSim sim;
    ProgramPort port(sim.slavePath());
    std::string expected;
    const auto before = Clock::now();
    for (int i = 0; i < 20; ++i) {
        std::string piece = std::to_string(i) + "/";
        piece += static_cast<char>(i);  // also control bytes, NUL first
        expected += piece;
        port.write(piece);
        ASSERT_TRUE(sim.waitForReceived(expected.size(), 2s));
    }
    const auto after = Clock::now();
    EXPECT_EQ(sim.received(), expected);
    EXPECT_EQ(sim.receivedCount(), expected.size());

    auto chunks = sim.chunks();
    ASSERT_EQ(chunks.size(), sim.chunkCount());
    ASSERT_GE(chunks.size(), 20u);  // every write was taken in before the next one
    std::string joined;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        joined += chunks[i].bytes;
        EXPECT_GE(chunks[i].time, before);
        EXPECT_LE(chunks[i].time, after);
        if (i > 0) {
            EXPECT_LE(chunks[i - 1].time, chunks[i].time);
        }
    }
    EXPECT_EQ(joined, expected);
    EXPECT_EQ(sim.chunks(chunks.size() - 1).size(), 1u);
    EXPECT_THAT(sim.chunks(chunks.size() + 5), IsEmpty());
}

TEST(BoardSimLog, BytesWrittenJustBeforeACloseAreKept) {
    Icp12Sim sim;
    {
        ProgramPort port(sim.slavePath());
        port.write("(RA0o)(RA00)");
    }
    ASSERT_TRUE(sim.waitForCloseCount(1, 2s));
    EXPECT_EQ(sim.received(), "(RA0o)(RA00)");
    EXPECT_EQ(sim.state().offCount[0], 1u);
}

TEST(BoardSimSessions, ProgramCanCloseAndReopenAndTheBoardKeepsWorking) {
    Icp12Sim sim;
    for (int session = 1; session <= 3; ++session) {
        ProgramPort port(sim.slavePath());
        ASSERT_TRUE(sim.waitForOpenCount(session, 2s));
        EXPECT_TRUE(sim.programHasOpen());
        port.write("(ZMD)");
        EXPECT_EQ(port.readAtLeast(14, 2s), "(ZMD iCP12 v1)") << "session " << session;
        port.close();
        ASSERT_TRUE(sim.waitForCloseCount(session, 2s));
        EXPECT_FALSE(sim.programHasOpen());
    }
    EXPECT_EQ(sim.state().identifyCount, 3u);
    EXPECT_EQ(sim.sent(), "(ZMD iCP12 v1)(ZMD iCP12 v1)(ZMD iCP12 v1)");
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(BoardSimSessions, KeepingTheSlaveOpenHidesTheProgramsCloses) {
    SimOptions options;
    options.keepSlaveOpen = true;
    ArduinoSim sim({}, options);
    ASSERT_TRUE(sim.waitForOpenCount(1, 2s));
    for (int session = 0; session < 2; ++session) {
        ProgramPort port(sim.slavePath());
        port.write("90/");
        EXPECT_EQ(port.readAtLeast(2, 2s), "TM");
    }
    EXPECT_EQ(sim.openCount(), 1);
    EXPECT_EQ(sim.closeCount(), 0);
}

TEST(BoardSimSessions, AnswerWaitingWhenTheProgramClosedIsReadAfterReopen) {
    Icp12Sim sim;
    {
        ProgramPort port(sim.slavePath());
        port.write("(ZMD)");
        ASSERT_TRUE(sim.waitForSent(14, 2s));
    }
    ProgramPort port(sim.slavePath());
    EXPECT_EQ(port.readAtLeast(14, 2s), "(ZMD iCP12 v1)");
}

TEST(BoardSimLifetime, DestructionStopsTheReaderPromptly) {
    for (bool programOpen : {false, true}) {
        auto sim = std::make_unique<SilentSim>();
        std::unique_ptr<ProgramPort> port;
        if (programOpen) {
            port = std::make_unique<ProgramPort>(sim->slavePath());
            ASSERT_TRUE(sim->waitForOpenCount(1, 2s));
        }
        const auto start = Clock::now();
        sim.reset();
        EXPECT_LT(Clock::now() - start, 1s) << "program open: " << programOpen;
    }
}

TEST(BoardSimLifetime, StopKeepsTheRecordReadable) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    port.write("(RA01)");
    ASSERT_TRUE(sim.waitForViolations(1, 2s));
    sim.stop();
    sim.stop();
    EXPECT_EQ(sim.received(), "(RA01)");
    EXPECT_EQ(sim.violationCount(), 1u);
    EXPECT_EQ(sim.state().onCount[0], 1u);
}

TEST(SilentBoard, NeverAnswers) {
    SilentSim sim;
    ProgramPort port(sim.slavePath());
    port.write("(ZMD)");
    port.write("90/");
    ASSERT_TRUE(sim.waitForReceived(8, 2s));
    EXPECT_EQ(port.readFor(300ms), "");
    EXPECT_EQ(sim.sentCount(), 0u);
    EXPECT_EQ(sim.received(), "(ZMD)90/");
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(GarbageBoard, AnswersEveryReadWithNoiseThatIsNoBoardsAnswer) {
    GarbageSim sim;
    ProgramPort port(sim.slavePath());
    std::string noise;
    for (int i = 0; i < 50; ++i) {
        std::size_t before = sim.sentCount();
        port.write("(ZMD)");
        ASSERT_TRUE(sim.waitForSent(before + 1, 2s));
        noise += port.readAtLeast(sim.sentCount() - before, 2s);
    }
    EXPECT_GE(noise.size(), 50u);
    EXPECT_LE(noise.size(), 50u * 16);
    EXPECT_EQ(noise.size(), sim.sentCount());
    EXPECT_THAT(noise, Not(HasSubstr("ZMD")));
    for (const char* code : {"ET", "AL", "TM"}) {
        EXPECT_THAT(noise, Not(HasSubstr(code)));
    }
}

TEST(GarbageBoard, SameSeedGivesTheSameNoise) {
    GarbageOptions options;
    options.seed = 42;
    std::string replies[2];
    for (auto& reply : replies) {
        GarbageSim sim(options);
        ProgramPort port(sim.slavePath());
        port.write("90/");
        ASSERT_TRUE(sim.waitForSent(1, 2s));
        reply = port.readAtLeast(sim.sentCount(), 2s);
    }
    EXPECT_EQ(replies[0], replies[1]);
    EXPECT_FALSE(replies[0].empty());
}

TEST(GarbageBoard, FloodKeepsSendingButNeverAboveItsRate) {
    GarbageOptions options;
    options.flood = true;
    options.bytesPerSecond = 4000;
    GarbageSim sim(options);
    ProgramPort port(sim.slavePath());
    ASSERT_TRUE(sim.waitForOpenCount(1, 2s));
    const auto start = Clock::now();
    std::string got = port.readFor(600ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Noise goes out in 10 ms portions (40 bytes here): a window can catch one at each end.
    EXPECT_LE(got.size(), static_cast<std::size_t>(4000 * seconds) + 2 * 40);
    EXPECT_GE(got.size(), 400u) << "flood is not flowing";
    EXPECT_EQ(sim.receivedCount(), 0u);
}

TEST(GarbageBoard, FloodPausesWhileThePortIsClosed) {
    GarbageOptions options;
    options.flood = true;
    GarbageSim sim(options);
    {
        ProgramPort port(sim.slavePath());
        ASSERT_TRUE(sim.waitForSent(100, 2s));
    }
    ASSERT_TRUE(sim.waitForCloseCount(1, 2s));
    std::size_t atClose = sim.sentCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(sim.sentCount(), atClose + 20);  // at most the period that was running
}

TEST(BoardKinds, EveryNamedKindStartsAndUnknownNamesDoNot) {
    for (const auto& name : kindNames()) {
        auto sim = makeSim(name);
        ASSERT_NE(sim, nullptr) << name;
        EXPECT_FALSE(sim->slavePath().empty());
    }
    EXPECT_EQ(makeSim("ardu-xx"), nullptr);
    EXPECT_EQ(makeSim(""), nullptr);
}

TEST(BoardKinds, KindsAnswerTheirIdentification) {
    struct Case {
        const char* kind;
        const char* request;
        std::string reply;
    };
    for (const Case& c :
         {Case{"icp12", "(ZMD)", "(ZMD iCP12 v1)"}, Case{"icp12-lower", "(ZMD)", "(zmd icp12 v1)"},
          Case{"ardu-et", "90/", "ET"}, Case{"ardu-al", "90/", "AL"}, Case{"ardu-tm", "90/", "TM"},
          Case{"lower", "90/", "tm"}}) {
        auto sim = makeSim(c.kind);
        ProgramPort port(sim->slavePath());
        port.write(c.request);
        EXPECT_EQ(port.readAtLeast(c.reply.size(), 2s), c.reply) << c.kind;
    }
}

TEST(BoardKinds, BootDelaySettingReachesTheArduinoKinds) {
    KindSettings settings;
    settings.bootDelay = 500ms;
    auto sim = makeSim("ardu-et", settings);
    ProgramPort port(sim->slavePath());
    ASSERT_TRUE(sim->waitForOpenCount(1, 2s));
    port.write("90/");
    ASSERT_TRUE(sim->waitForReceived(3, 2s));
    EXPECT_EQ(port.readFor(200ms), "");
}

TEST(EscapeText, ControlAndHighBytesAndBackslashAreWrittenAsHex) {
    EXPECT_EQ(escaped(std::string("a\0\\\xff~", 5)), "a\\x00\\x5c\\xff~");
    EXPECT_EQ(escaped("1/7/"), "1/7/");
}

TEST(EscapeText, LampDotsStartWithLampOne) {
    EXPECT_EQ(lampDots(0b0000'0011), "\u25cf\u25cf\u25cb\u25cb\u25cb\u25cb\u25cb\u25cb");
    EXPECT_EQ(lampDots(0x80), "\u25cb\u25cb\u25cb\u25cb\u25cb\u25cb\u25cb\u25cf");
}

}  // namespace
}  // namespace kf::boardsim
