#include "devices/ComPorts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "devices/Pty.h"

namespace kf {
namespace {

using Devices = std::vector<std::string>;

// Sets KLEURFLITS_SERIAL_PORTS for one test and puts the old value back afterwards.
class PortsVariable {
  public:
    explicit PortsVariable(const char* value) {
        if (const char* old = std::getenv(kName)) {
            old_ = old;
        }
        ::setenv(kName, value, 1);
    }
    ~PortsVariable() {
        if (old_) {
            ::setenv(kName, old_->c_str(), 1);
        } else {
            ::unsetenv(kName);
        }
    }

  private:
    static constexpr const char* kName = "KLEURFLITS_SERIAL_PORTS";
    std::optional<std::string> old_;
};

TEST(ComPortsParse, SplitsOnColonsAndSkipsEmptyEntries) {
    EXPECT_EQ(ComPorts::parseList("/dev/pts/3:/dev/ttyUSB0"),
              (Devices{"/dev/pts/3", "/dev/ttyUSB0"}));
    EXPECT_EQ(ComPorts::parseList(":/a::/b:"), (Devices{"/a", "/b"}));
    EXPECT_EQ(ComPorts::parseList("/only"), (Devices{"/only"}));
    EXPECT_TRUE(ComPorts::parseList("").empty());
    EXPECT_TRUE(ComPorts::parseList(":::").empty());
}

TEST(ComPortsEnvironment, ListsTheNamedDevicesComOneFirst) {
    PortsVariable variable("/tmp/kf-first::/tmp/kf-second:/tmp/kf-third:");
    const ComPorts ports = ComPorts::fromEnvironment();
    ASSERT_EQ(ports.count(), 3);
    EXPECT_EQ(ports.devicePath(1), "/tmp/kf-first");
    EXPECT_EQ(ports.devicePath(2), "/tmp/kf-second");
    EXPECT_EQ(ports.devicePath(3), "/tmp/kf-third");
}

TEST(ComPortsEnvironment, SetButEmptyMeansNoPorts) {
    PortsVariable variable("");
    const ComPorts ports = ComPorts::fromEnvironment();
    EXPECT_EQ(ports.count(), 0);
    EXPECT_EQ(ports.devicePath(1), "");
    EXPECT_FALSE(ports.exists(1));
}

TEST(ComPortsNumbers, OnlyNumbersOneToCountNameADevice) {
    test::Pty pty;
    const ComPorts ports({pty.path(), pty.path()});
    EXPECT_EQ(ports.devicePath(1), pty.path());
    EXPECT_EQ(ports.devicePath(2), pty.path());
    for (int n : {0, -1, -32768, 3, 255}) {
        EXPECT_EQ(ports.devicePath(n), "") << n;
        EXPECT_FALSE(ports.exists(n)) << n;
    }
    EXPECT_TRUE(ports.exists(1));
    EXPECT_TRUE(ports.exists(2));
}

TEST(ComPortsNumbers, ADeviceThatAppearsLaterGetsTheNextNumberAndKeepsIt) {
    ComPorts ports({"/dev/ttyUSB0", "/dev/ttyUSB2"});
    EXPECT_EQ(ports.include("/dev/ttyUSB2"), 2);
    EXPECT_EQ(ports.include("/dev/ttyUSB1"), 3);
    EXPECT_EQ(ports.include("/dev/ttyUSB1"), 3);
    EXPECT_EQ(ports.devicePath(1), "/dev/ttyUSB0");
    EXPECT_EQ(ports.devicePath(3), "/dev/ttyUSB1");
    ComPorts full(std::vector<std::string>(255, "/dev/null"));
    EXPECT_EQ(full.include("/dev/ttyUSB9"), 0);
}

TEST(ComPortsExists, OnlyCharacterDevicesExist) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString();
    test::Pty pty;

    const std::string link = base + "/link-to-pty";
    const std::string dangling = base + "/dangling";
    const std::string plain = base + "/plain-file";
    const std::string fifo = base + "/fifo";
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink((base + "/nothing-here").c_str(), dangling.c_str()), 0);
    const int fd = ::open(plain.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // A FIFO is no serial port; opening it for reading would also block this test.
    const ComPorts ports({pty.path(), link, base + "/missing", dangling, plain, base, fifo});
    EXPECT_TRUE(ports.exists(1)) << "the pty slave";
    EXPECT_TRUE(ports.exists(2)) << "a symlink to a character device";
    EXPECT_FALSE(ports.exists(3)) << "a path that names nothing";
    EXPECT_FALSE(ports.exists(4)) << "a dangling symlink";
    EXPECT_FALSE(ports.exists(5)) << "a regular file";
    EXPECT_FALSE(ports.exists(6)) << "a directory";
    EXPECT_FALSE(ports.exists(7)) << "a FIFO";
}

// Counts IN_OPEN events on one path.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& path) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) {
            watch_ = ::inotify_add_watch(fd_, path.c_str(), IN_OPEN);
        }
    }
    ~OpenWatch() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool valid() const { return fd_ >= 0 && watch_ >= 0; }
    int opens() {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return count;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_OPEN) != 0) {
                    ++count;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

  private:
    int fd_ = -1;
    int watch_ = -1;
};

TEST(ComPortsExists, DoesNotOpenTheDevice) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    test::Pty pty;
    const std::string link = dir.path().toStdString() + "/com1";
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    const ComPorts ports({pty.path(), link});

    OpenWatch watch(pty.path());
    ASSERT_TRUE(watch.valid());
    ASSERT_TRUE(ports.exists(1));
    ASSERT_TRUE(ports.exists(2));
    EXPECT_EQ(watch.opens(), 0);

    // The watch does see an open, so the zero above means something.
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(watch.opens(), 1);
}

TEST(ComPortsNaturalOrder, DigitRunsCompareByValue) {
    Devices devices{"/dev/ttyUSB0", "/dev/ttyS10", "/dev/ttyS2",    "/dev/ttyACM0",
                    "/dev/ttyS1",   "/dev/ttyS0",  "/dev/ttyUSB10", "/dev/ttyUSB9"};
    std::sort(devices.begin(), devices.end(), ComPorts::naturalLess);
    EXPECT_EQ(devices, (Devices{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB9", "/dev/ttyUSB10"}));
}

TEST(ComPortsNaturalOrder, IsAStrictOrderOnEdgeCases) {
    EXPECT_FALSE(ComPorts::naturalLess("/dev/ttyS2", "/dev/ttyS2"));
    EXPECT_TRUE(ComPorts::naturalLess("/dev/ttyS", "/dev/ttyS0"));
    EXPECT_FALSE(ComPorts::naturalLess("/dev/ttyS0", "/dev/ttyS"));
    // Later runs decide only when earlier ones are equal.
    EXPECT_TRUE(ComPorts::naturalLess("a2b10", "a10b2"));
    EXPECT_TRUE(ComPorts::naturalLess("a2b2", "a2b10"));
    // Leading zeros: same value, yet the two names are distinct and ordered one way only.
    EXPECT_TRUE(ComPorts::naturalLess("x1", "x01"));
    EXPECT_FALSE(ComPorts::naturalLess("x01", "x1"));
    EXPECT_TRUE(ComPorts::naturalLess("x007", "x10"));
    // Numbers longer than any integer type still compare by value.
    EXPECT_TRUE(ComPorts::naturalLess("p99999999999999999999", "p100000000000000000000"));
    EXPECT_FALSE(ComPorts::naturalLess("p100000000000000000000", "p99999999999999999999"));
    // A digit against a letter compares as characters.
    EXPECT_TRUE(ComPorts::naturalLess("tty1", "ttyA"));
}

}  // namespace
}  // namespace kf
