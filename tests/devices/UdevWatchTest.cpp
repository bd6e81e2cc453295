// The machine's own ports watched through a real libudev: umockdev's test bed gives this
// process the devices, their /dev nodes, their by-id links and udev's events.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "devices/PortWatcher.h"
#include "support/MockDevices.h"
#include "support/Require.h"

namespace kf {
namespace {

using kftest::MockDevices;

constexpr const char* kById = "usb-FTDI_FT232R_USB_UART_A10KZ3F1-if00-port0";

class UdevWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        KF_REQUIRE(kftest::underUmockdev(), "umockdev's preload (run under umockdev-wrapper)");
    }
    // Runs the event loop until done() holds or 5 s passed.
    static bool waitFor(const std::function<bool()>& done) {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (done()) {
                loop.quit();
            }
        });
        check.start(2);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        return done();
    }
    MockDevices devices;
    std::vector<std::string> appeared, vanished;
    int hidChanges = 0;

    void record(PortWatcher& w) {
        QObject::connect(&w, &PortWatcher::appeared,
                         [this](const std::string& p) { appeared.push_back(p); });
        QObject::connect(&w, &PortWatcher::vanished,
                         [this](const std::string& p) { vanished.push_back(p); });
        QObject::connect(&w, &PortWatcher::hidChanged, [this] { ++hidChanges; });
    }
};

TEST_F(UdevWatch, AnAdapterPluggedInPulledOutAndPutBackIsReportedEachTimeAndKnownByItsLink) {
    PortWatcher watcher({}, true);
    record(watcher);
    watcher.start();
    // udev drives the watching: there is no once-a-second look to find the adapter instead.
    ASSERT_TRUE(watcher.usesUdev());

    const std::string sys = devices.addSerialAdapter("ttyUSB0", kById, 0);
    ASSERT_TRUE(waitFor([&] { return !appeared.empty(); }));
    EXPECT_EQ(appeared, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_EQ(serialIdentity("/dev/ttyUSB0"), std::string("/dev/serial/by-id/") + kById);

    devices.remove(sys);
    ASSERT_TRUE(waitFor([&] { return !vanished.empty(); }));
    EXPECT_EQ(vanished, std::vector<std::string>{"/dev/ttyUSB0"});
    // Its link may linger, but leads nowhere: a node of that name is not it.
    EXPECT_EQ(serialIdentity("/dev/ttyUSB0"), "/dev/ttyUSB0");

    // Back under another node, as the kernel numbers it while the old one is still held: the
    // link tells it is the same adapter.
    devices.addSerialAdapter("ttyUSB1", kById, 1);
    ASSERT_TRUE(waitFor([&] { return appeared.size() == 2; }));
    EXPECT_EQ(appeared.back(), "/dev/ttyUSB1");
    EXPECT_EQ(serialIdentity("/dev/ttyUSB1"), std::string("/dev/serial/by-id/") + kById);
    EXPECT_EQ(hidChanges, 0);
    watcher.stop();
}

TEST_F(UdevWatch, TwoAdaptersAreToldApartByTheirLinksAndOnlyTheOnePulledVanishes) {
    PortWatcher watcher({}, true);
    record(watcher);
    watcher.start();
    ASSERT_TRUE(watcher.usesUdev());
    const std::string first = devices.addSerialAdapter("ttyUSB0", kById, 0);
    devices.addSerialAdapter("ttyACM0", "usb-Arduino_Nano_Every_55736303-if00", 2);
    ASSERT_TRUE(waitFor([&] { return appeared.size() == 2; }));
    EXPECT_EQ(serialIdentity("/dev/ttyACM0"),
              "/dev/serial/by-id/usb-Arduino_Nano_Every_55736303-if00");
    EXPECT_EQ(serialIdentity("/dev/ttyUSB0"), std::string("/dev/serial/by-id/") + kById);

    devices.remove(first);
    ASSERT_TRUE(waitFor([&] { return !vanished.empty(); }));
    EXPECT_EQ(vanished, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_EQ(appeared.size(), 2U);
    watcher.stop();
}

TEST_F(UdevWatch, AHidDeviceComingOrGoingIsToldSoBoardsAreLookedForAtOnce) {
    PortWatcher watcher({}, true);
    record(watcher);
    watcher.start();
    ASSERT_TRUE(watcher.usesUdev());
    const std::string sys =
        "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/"
        "0003:10CF:5500.0001/hidraw/hidraw0";
    devices.add("P: " + sys +
                "\nN: hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\n"
                "E: MAJOR=247\nE: MINOR=0\nA: dev=247:0\n");
    ASSERT_TRUE(waitFor([&] { return hidChanges == 1; }));
    devices.remove("/sys" + sys);
    ASSERT_TRUE(waitFor([&] { return hidChanges == 2; }));
    // A HID node is no serial port.
    EXPECT_TRUE(appeared.empty());
    EXPECT_TRUE(vanished.empty());
    watcher.stop();
}

}  // namespace
}  // namespace kf
