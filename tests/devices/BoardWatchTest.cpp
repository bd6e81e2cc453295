#include "devices/BoardWatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"

namespace kf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Ports named by links in a folder, as KLEURFLITS_SERIAL_PORTS names them; boards are plugged
// in by pointing a link at a simulator and pulled out by removing the link and the simulator.
class Watching : public ::testing::Test {
  protected:
    fs::path dir;
    Timing timing;
    std::unique_ptr<ComPorts> ports;
    std::unique_ptr<BoardWatch> watch;
    std::vector<BoardWatch::Joined> joined;
    std::vector<std::string> unused;
    std::int32_t hidMask = 0;

    void SetUp() override {
        char tmpl[] = "/tmp/kf-boardwatch.XXXXXX";
        dir = ::mkdtemp(tmpl);
        timing.icp12ReplyWait = 200ms;
        timing.arduinoProbeWait = 100ms;
        timing.arduinoReplyBound = 300ms;
        ports = std::make_unique<ComPorts>(
            std::vector<std::string>{path("com1"), path("com2"), path("com3")});
        watch = std::make_unique<BoardWatch>(*ports, timing);
        watch->onJoined = [this](const BoardWatch::Joined& j) { joined.push_back(j); };
        watch->onUnused = [this](BoardKind, const std::string& where) { unused.push_back(where); };
    }
    void TearDown() override {
        watch.reset();
        fs::remove_all(dir);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    void plug(const std::string& name, const boardsim::BoardSim& sim) {
        fs::remove(path(name));
        fs::create_symlink(sim.slavePath(), path(name));
    }
    void pull(const std::string& name) { fs::remove(path(name)); }
    // Runs the event loop until `count` boards have joined or the time is up.
    bool waitForJoined(std::size_t count, std::chrono::milliseconds limit = 4000ms) {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (joined.size() >= count) {
                loop.quit();
            }
        });
        check.start(5);
        QTimer::singleShot(limit, &loop, &QEventLoop::quit);
        loop.exec();
        return joined.size() >= count;
    }
    void runFor(std::chrono::milliseconds time) {
        QEventLoop loop;
        QTimer::singleShot(time, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

TEST_F(Watching, AnIcp12PluggedInAfterTheStartJoinsTheLeftWithItsComNumber) {
    watch->start();
    boardsim::Icp12Sim board;
    plug("com2", board);
    ASSERT_TRUE(waitForJoined(1));
    EXPECT_EQ(joined[0].kind, BoardKind::Icp12);
    EXPECT_EQ(joined[0].side, 1);
    EXPECT_EQ(joined[0].commPort, 2);
    EXPECT_EQ(joined[0].path, path("com2"));
    EXPECT_FALSE(joined[0].returning);
    EXPECT_TRUE(board.waitForReceived(5 + 48, 1s)) << "probed and set up: " << board.received();
}

TEST_F(Watching, ABoardPulledAndPutBackReturnsToItsSide) {
    boardsim::Icp12Sim left;
    plug("com1", left);
    watch->seated(BoardKind::Icp12, 1, path("com1"));
    watch->start();
    auto right = std::make_unique<boardsim::Icp12Sim>();
    plug("com3", *right);
    ASSERT_TRUE(waitForJoined(1));
    EXPECT_EQ(joined[0].side, 2);

    // Pulled: its owner reports it lost; the left side stays with its board.
    pull("com3");
    right.reset();
    watch->lost(BoardKind::Icp12, 2);
    runFor(1500ms);
    right = std::make_unique<boardsim::Icp12Sim>();
    plug("com3", *right);
    ASSERT_TRUE(waitForJoined(2));
    EXPECT_EQ(joined[1].side, 2);
    EXPECT_TRUE(joined[1].returning);
    EXPECT_EQ(joined[1].commPort, 3);
}

TEST_F(Watching, AThirdBoardOfAKindIsNotUsedAndSaysSo) {
    boardsim::ArduinoSim a, b;
    plug("com1", a);
    plug("com2", b);
    watch->seated(BoardKind::Arduino, 1, path("com1"));
    watch->seated(BoardKind::Arduino, 2, path("com2"));
    watch->start();
    boardsim::ArduinoOptions o;
    o.type = boardsim::ArduinoType::ET;
    boardsim::ArduinoSim third(o);
    plug("com3", third);
    runFor(3500ms);
    EXPECT_TRUE(joined.empty());
    EXPECT_EQ(unused, std::vector<std::string>{path("com3")});
}

TEST_F(Watching, AnArduinoJoinsWithItsTypeCode) {
    watch->start();
    boardsim::ArduinoOptions o;
    o.type = boardsim::ArduinoType::ET;
    boardsim::ArduinoSim board(o);
    plug("com1", board);
    ASSERT_TRUE(waitForJoined(1));
    EXPECT_EQ(joined[0].kind, BoardKind::Arduino);
    EXPECT_EQ(joined[0].typeCode, "ET");
    EXPECT_EQ(joined[0].side, 1);
}

TEST_F(Watching, APortThatAnswersNothingIsTriedOnceUntilItReappears) {
    watch->start();
    boardsim::SilentSim silent;
    plug("com1", silent);
    runFor(3500ms);
    EXPECT_TRUE(joined.empty());
    EXPECT_EQ(silent.openCount(), 1);
    // Put back (a new device behind the same name): tried again.
    boardsim::SilentSim again;
    plug("com1", again);
    runFor(2000ms);
    EXPECT_EQ(again.openCount(), 1);
}

TEST_F(Watching, NothingJoinsOnceStopped) {
    watch->start();
    boardsim::Icp12Sim board;
    plug("com1", board);
    watch->watcher().lookNow();  // the probe starts now
    watch->stop();
    runFor(800ms);
    EXPECT_TRUE(joined.empty());
}

TEST_F(Watching, AK8055PluggedInLaterTakesAFreeSideAndAKnownOneIsLeftToTheDriver) {
    watch->registry().seat(BoardKind::K8055, 1, "0");
    watch->start([this] { return hidMask; });
    hidMask = 0b0001;
    runFor(1200ms);
    EXPECT_TRUE(joined.empty()) << "card 0 is seated already";
    hidMask = 0b0101;
    ASSERT_TRUE(waitForJoined(1, 2500ms));
    EXPECT_EQ(joined[0].kind, BoardKind::K8055);
    EXPECT_EQ(joined[0].address, 2);
    EXPECT_EQ(joined[0].side, 2);
    // Card 0 fails, then the driver reaches it again: it is seated, not joined anew.
    watch->lost(BoardKind::K8055, 1);
    runFor(1200ms);
    EXPECT_EQ(joined.size(), 1U);
    watch->k8055Back(0);
    EXPECT_EQ(watch->registry().sideOf(BoardKind::K8055, "0"), 1);
}

}  // namespace
}  // namespace kf
