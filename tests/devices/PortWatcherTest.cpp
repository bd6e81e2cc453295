#include "devices/PortWatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "devices/Pty.h"

namespace kf {
namespace {

namespace fs = std::filesystem;

// A folder of links to pseudo-terminals, named the way KLEURFLITS_SERIAL_PORTS names ports.
class Watch : public ::testing::Test {
  protected:
    fs::path dir;
    std::vector<std::string> appeared, vanished;

    void SetUp() override {
        char tmpl[] = "/tmp/kf-watch.XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string link(const std::string& name, const test::Pty& pty) {
        const fs::path p = dir / name;
        fs::remove(p);
        fs::create_symlink(pty.path(), p);
        return p.string();
    }
    void record(PortWatcher& w) {
        QObject::connect(&w, &PortWatcher::appeared,
                         [this](const std::string& p) { appeared.push_back(p); });
        QObject::connect(&w, &PortWatcher::vanished,
                         [this](const std::string& p) { vanished.push_back(p); });
    }
    // Runs the event loop until `count` reports arrived or `ms` passed.
    void waitForReports(std::size_t count, int ms) {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (appeared.size() + vanished.size() >= count) {
                loop.quit();
            }
        });
        check.start(5);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

TEST_F(Watch, WhatIsThereAtTheStartIsNotReported) {
    test::Pty a;
    const std::string pa = link("a", a);
    PortWatcher w({pa, (dir / "b").string()}, false);
    record(w);
    w.start();
    w.lookNow();
    EXPECT_TRUE(appeared.empty());
    EXPECT_TRUE(vanished.empty());
}

TEST_F(Watch, ANamedLinkThatAppearsVanishesAndComesBackIsReportedEachTime) {
    const std::string pb = (dir / "b").string();
    PortWatcher w({pb}, false);
    record(w);
    w.start();
    auto board = std::make_unique<test::Pty>();
    link("b", *board);
    waitForReports(1, 2500);  // within the once-a-second look
    ASSERT_EQ(appeared, std::vector<std::string>{pb});

    fs::remove(pb);
    board.reset();
    waitForReports(2, 2500);
    ASSERT_EQ(vanished, std::vector<std::string>{pb});

    board = std::make_unique<test::Pty>();
    link("b", *board);
    waitForReports(3, 2500);
    EXPECT_EQ(appeared, (std::vector<std::string>{pb, pb}));
}

TEST_F(Watch, ALinkPointedAtAnotherDeviceIsGoneAndNew) {
    test::Pty first;
    const std::string pa = link("a", first);
    PortWatcher w({pa}, false);
    record(w);
    w.start();
    test::Pty second;
    link("a", second);
    w.lookNow();
    EXPECT_EQ(vanished, std::vector<std::string>{pa});
    EXPECT_EQ(appeared, std::vector<std::string>{pa});
}

TEST_F(Watch, AForgottenPathIsReportedAgainWhileItIsThere) {
    test::Pty a;
    const std::string pa = link("a", a);
    PortWatcher w({pa}, false);
    record(w);
    w.start();
    w.forget(pa);
    w.lookNow();
    EXPECT_EQ(appeared, std::vector<std::string>{pa});
    w.lookNow();
    EXPECT_EQ(appeared.size(), 1U);
}

// This machine may run no udev daemon (a container): watching the machine's own ports then
// falls back to looking once a second, and starts and stops cleanly either way.
TEST_F(Watch, TheMachinesOwnPortsAreWatchedWithOrWithoutUdev) {
    PortWatcher w({}, true);
    record(w);
    w.start();
    EXPECT_EQ(w.usesUdev(), fs::exists("/run/udev/control"));
    w.lookNow();
    waitForReports(1, 100);
    for (const std::string& p : appeared) {
        EXPECT_TRUE(isPluggableSerialPort(p)) << p;
    }
    w.stop();
    EXPECT_FALSE(w.usesUdev());
    w.start();
    w.stop();
}

TEST(SerialIdentity, TheByIdLinkNamesADeviceWhereThereIsOne) {
    char tmpl[] = "/tmp/kf-byid.XXXXXX";
    const fs::path byId = ::mkdtemp(tmpl);
    test::Pty withLink, without;
    fs::create_symlink(withLink.path(), byId / "usb-KleurFlits_Nano_1234-if00-port0");
    EXPECT_EQ(serialIdentity(withLink.path(), byId.string()),
              (byId / "usb-KleurFlits_Nano_1234-if00-port0").string());
    EXPECT_EQ(serialIdentity(without.path(), byId.string()), without.path());
    EXPECT_EQ(serialIdentity("/nonexistent/tty", byId.string()), "/nonexistent/tty");
    fs::remove_all(byId);
}

TEST(SerialIdentity, OnlyUsbAndAcmPortsCountAsPluggable) {
    EXPECT_TRUE(isPluggableSerialPort("/dev/ttyUSB0"));
    EXPECT_TRUE(isPluggableSerialPort("/dev/ttyACM12"));
    EXPECT_FALSE(isPluggableSerialPort("/dev/ttyS0"));
    EXPECT_FALSE(isPluggableSerialPort("/dev/tty1"));
}

}  // namespace
}  // namespace kf
