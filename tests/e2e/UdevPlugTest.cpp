// The real program on the machine's own ports, watched through a real libudev: umockdev's test
// bed gives it USB serial adapters (their /dev nodes, by-id links and udev's events) that the
// test plugs in, pulls out and puts back while the show runs, and K8055 boards on hidraw nodes
// that the real hidapi library opens and writes. The test and the program run under
// umockdev-wrapper.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "e2e/AsNobody.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/MockDevices.h"
#include "support/MockK8055.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::MockDevices;
using kftest::MockK8055;
using kftest::SignalPlayer;

constexpr const char* kIcpLink = "usb-FTDI_FT232R_USB_UART_A10KZ3F1-if00-port0";
constexpr const char* kNanoLink = "usb-1a86_USB_Serial-if00-port0";

class UdevPlug : public Program {
  protected:
    void SetUp() override {
        KF_REQUIRE(kftest::underUmockdev(), "umockdev's preload (run under umockdev-wrapper)");
        KF_REQUIRE(kftest::serverAnswers(),
                   "a sound server (" << kftest::pulseServerDescription() << ")");
    }
    // A simulated board on the far end of a mocked adapter's line.
    template <class Sim, class Options>
    std::unique_ptr<Sim> boardOn(const std::string& devnode, Options options) {
        kf::boardsim::SimOptions sim;
        sim.adoptMaster = devices.master(devnode);
        sim.adoptedName = devnode;
        return std::make_unique<Sim>(options, sim);
    }
    // Pulled out: the board stops answering, its line hangs up for whoever holds it (as the
    // kernel does when a tty's device goes), and udev says it is gone.
    template <class Sim>
    void unplug(std::unique_ptr<Sim>& sim, const std::string& sysPath) {
        const int master = devices.master(sim->slavePath());
        sim.reset();
        // umockdev keeps the descriptor and closes it with the test bed: put /dev/null in its
        // place, which closes the line's master end.
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(null, master);
        ::close(null);
        devices.remove(sysPath);
    }
    bool printed(const std::string& text, Clock::duration limit) {
        return run_->waitForOutput(text, limit);
    }

    MockDevices devices;
};

TEST_F(UdevPlug, AnAdapterPluggedInJoinsPulledOutShowsAbsentAndPutBackReturnsToItsSide) {
    // An iCP12 on an adapter that is there at start-up: the search finds it on the machine's
    // own ports, which udev lists.
    devices.addSerialAdapter("ttyUSB0", kIcpLink, 0);
    auto icp = boardOn<Icp12Sim>("/dev/ttyUSB0", kf::boardsim::Icp12Options{});
    run_ = std::make_unique<ProgramRun>(std::vector<std::string>{},
                                        EnvChanges{{"KLEURFLITS_SERIAL_PORTS", std::nullopt}});
    ASSERT_TRUE(run_->started());
    ASSERT_TRUE(icp->waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icp->summary();

    // A Nano plugged in while the show runs: udev's event, the probe, the left Arduino side.
    kf::boardsim::ArduinoOptions tmOptions;
    tmOptions.type = kf::boardsim::ArduinoType::TM;
    std::string nanoSys = devices.addSerialAdapter("ttyACM0", kNanoLink, 1);
    auto tm = boardOn<ArduinoSim>("/dev/ttyACM0", tmOptions);
    ASSERT_TRUE(printed("the Arduino board on /dev/ttyACM0 joined on the left", 10s));
    ASSERT_TRUE(tm->waitForState([](const ArduinoState& s) { return s.text == "LEFT"; }, 5s))
        << tm->summary();

    // Pulled out: its side shows absent, the iCP12 goes on.
    unplug(tm, nanoSys);
    ASSERT_TRUE(printed("is gone", 5s));
    const unsigned frames = icp->state().frameCount;
    ASSERT_TRUE(
        icp->waitForState([&](const Icp12State& s) { return s.frameCount > frames + 50; }, 5s))
        << "the others go on";

    // Put back, under the next node the kernel hands out: the by-id link tells it is the same
    // board, so it returns to its side.
    nanoSys = devices.addSerialAdapter("ttyACM1", kNanoLink, 2);
    tm = boardOn<ArduinoSim>("/dev/ttyACM1", tmOptions);
    ASSERT_TRUE(printed("the Arduino board on /dev/ttyACM1 is back on the left", 10s));
    ASSERT_TRUE(tm->waitForState([](const ArduinoState& s) { return s.text == "LEFT"; }, 5s))
        << tm->summary();
    const unsigned patterns = tm->state().patternCount;
    ASSERT_TRUE(
        tm->waitForState([&](const ArduinoState& s) { return s.patternCount > patterns + 20; }, 5s))
        << tm->summary();

    terminate();
    expectIcp12LeftDark(*icp, "iCP12");
    expectArduinoLeftDark(*tm, "TM");
}

TEST_F(UdevPlug, AK8055OnHidrawJoinsPulledOutMidWriteGoesAndPutBackReturns) {
    devices.addSerialAdapter("ttyUSB0", kIcpLink, 0);
    auto icp = boardOn<Icp12Sim>("/dev/ttyUSB0", kf::boardsim::Icp12Options{});
    MockK8055 cards(devices);
    {
        run_ = std::make_unique<ProgramRun>(std::vector<std::string>{},
                                            EnvChanges{{"KLEURFLITS_SERIAL_PORTS", std::nullopt}});
        ASSERT_TRUE(run_->started());
        ASSERT_TRUE(icp->waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
            << icp->summary();

        // Plugged in while the show runs: found through udev and hidapi, written every frame.
        const std::string first = cards.plug(0, "hidraw0", 1);
        ASSERT_TRUE(printed("Velleman Left CardNr. 0", 5s));
        ASSERT_TRUE(cards.waitForReports(
            "hidraw0", [](const std::vector<int>& r) { return r.size() > 20; }, 5s));

        // Pulled out mid-write: the card goes, the iCP12 goes on.
        cards.pull(first);
        ASSERT_TRUE(printed("K8055 card 0 (left) is gone", 5s));
        const unsigned frames = icp->state().frameCount;
        ASSERT_TRUE(
            icp->waitForState([&](const Icp12State& s) { return s.frameCount > frames + 50; }, 5s))
            << "the others go on";

        // Put back: a new HID device and node, the same card on the same side.
        cards.plug(0, "hidraw1", 2);
        ASSERT_TRUE(printed("K8055 card 0 (left) is back", 5s));
        ASSERT_TRUE(cards.waitForReports(
            "hidraw1", [](const std::vector<int>& r) { return r.size() > 20; }, 5s));

        // A left tone lights lamp 3 (band 4) on the card.
        auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
        ASSERT_TRUE(tone->waitStarted());
        EXPECT_TRUE(cards.waitForReports(
            "hidraw1",
            [](const std::vector<int>& r) { return !r.empty() && r.back() == kLamp3.mask(); },
            10s));

        terminate();
    }
    const auto last = cards.reports("hidraw1");
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), 0) << "the K8055's last report";
    expectIcp12LeftDark(*icp, "iCP12");
}

// Run by an ordinary user on a machine without the udev rule: a card's node is root's alone. It
// is named once with the remedy, through the real hidapi library, and the iCP12 the user may
// open lights as usual.
TEST_F(UdevPlug, ACardTheUserMayNotOpenIsNamedOnceWithTheUdevRule) {
    KF_REQUIRE(kftest::PrivateServer::available(), "the pulseaudio daemon (package pulseaudio)");
    KF_REQUIRE(std::filesystem::exists("/usr/bin/setpriv"), "setpriv (package util-linux)");
    kftest::PrivateServer server({"kf_null"});
    startForOthers(server);

    // The user may look at the devices (as at /sys and /dev), not open the card's node.
    MockK8055 cards(devices);
    const std::string node = cards.plug(0, "hidraw0", 1);
    gchar* rootDir = umockdev_testbed_get_root_dir(devices.bed());
    const std::string root(rootDir);
    g_free(rootDir);
    openToOthers(root);
    // umockdev's own line to the node, which no kernel device has.
    ASSERT_EQ(::chmod((root + "/ioctl/dev/hidraw0").c_str(), 0777), 0);
    char line[64] = {};
    ASSERT_GT(::readlink(("/dev/hidraw0"), line, sizeof line - 1), 0);
    ASSERT_EQ(::chmod(line, 0600), 0);

    Icp12Sim icp;
    openToOthers(std::filesystem::path(icp.slavePath()).parent_path());
    ASSERT_EQ(::chmod(icp.devicePath().c_str(), 0666), 0);
    start({&icp}, {{"PULSE_SERVER", server.server()}, {"HOME", "/nonexistent"}}, kNobody);
    const std::string named = "no permission to open " + node +
                              "; install the udev rule packaging/udev/70-kleurflits-k8055.rules";
    ASSERT_TRUE(run_->waitForOutput(named, 20s));

    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left), server.server());
    ASSERT_TRUE(tone->waitStarted());
    EXPECT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 10s))
        << icp.summary();
    tone.reset();
    EXPECT_TRUE(cards.reports("hidraw0").empty());

    terminate();
    expectIcp12LeftDark(icp, "the board the user may open");
    const std::string output = run_->output();
    EXPECT_EQ(occurrences(output, "no permission"), 1U) << output;
}

}  // namespace
}  // namespace kfe2e
