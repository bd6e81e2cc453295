#include "devices/SerialPortControl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "devices/Pty.h"
#include "devices/SerialLockFiles.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::Pty;

// Polls without running the event loop, as the board search does.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Numbered 100-character writes, so the bytes that arrive show which writes went out and
// whether any was cut.
constexpr std::size_t kFrameSize = 100;

std::string frame(int number) {
    char head[16];
    std::snprintf(head, sizeof head, "<%06d", number);
    std::string text(head);
    text.append(kFrameSize - text.size() - 1, static_cast<char>('a' + number % 26));
    text += '>';
    return text;
}

// The numbers of the whole frames `received` consists of; fails the test on anything else.
std::vector<int> framesIn(const std::string& received) {
    std::vector<int> numbers;
    EXPECT_EQ(received.size() % kFrameSize, 0u) << "a write arrived cut";
    for (std::size_t at = 0; at + kFrameSize <= received.size(); at += kFrameSize) {
        const std::string chunk = received.substr(at, kFrameSize);
        const int number = std::atoi(chunk.substr(1, 6).c_str());
        EXPECT_EQ(chunk, frame(number)) << "at byte " << at;
        numbers.push_back(number);
    }
    return numbers;
}

class SerialPortControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        control_.setCommPort(1);
        ASSERT_TRUE(control_.setPortOpen(true));
        ASSERT_TRUE(control_.PortOpen());
        control_.setFailureHandler([this] { ++failures_; });
    }

    // Writes frames while the master reads nothing, until the kernel's pty buffer is full and
    // ours holds output, or (dropsWanted > 0) until that many writes were dropped. Returns
    // the numbers of the frames the control accepted.
    std::vector<int> fillWhileStalled(std::uint64_t dropsWanted) {
        std::vector<int> accepted;
        for (int number = 0; number < 20000; ++number) {
            const std::uint64_t before = control_.droppedWrites();
            control_.Output(frame(number));
            if (control_.droppedWrites() == before) {
                accepted.push_back(number);
            }
            const bool done = dropsWanted > 0 ? control_.droppedWrites() >= dropsWanted
                                              : control_.unsentOutput() > 0;
            if (done) {
                return accepted;
            }
        }
        ADD_FAILURE() << "the output never backed up";
        return accepted;
    }

    Pty pty_;
    ComPorts ports_{{pty_.path()}};
    SerialPortControl control_{ports_, 115200};
    int failures_ = 0;
};

// ---- output ----

TEST_F(SerialPortControlTest, BackToBackWritesArriveInOrderWithNothingAdded) {
    const std::vector<std::string> commands{"(RA01)", "(RA11)", "(RA21)", "(RA31)",
                                            "(RA51)", "(RB01)", "(RB11)", "(RB21)"};
    std::string expected;
    for (const std::string& command : commands) {
        control_.Output(command);
        expected += command;
    }
    EXPECT_EQ(pty_.read(expected.size()), expected);
    EXPECT_EQ(pty_.read(1, 100ms), "") << "nothing may follow";
    EXPECT_EQ(control_.droppedWrites(), 0u);
}

TEST_F(SerialPortControlTest, ABatchReachesTheLineWholeWhenReleased) {
    control_.holdOutput();
    control_.Output("(RA01)");
    control_.Output("(RA10)");
    EXPECT_EQ(pty_.read(1, 100ms), "") << "held until the batch ends";
    EXPECT_EQ(control_.unsentOutput(), 12) << "held output counts as unsent";
    control_.releaseOutput();
    EXPECT_EQ(pty_.read(12), "(RA01)(RA10)");
    // Outside a batch every write goes out at once again.
    control_.Output("(RB20)");
    EXPECT_EQ(pty_.read(6), "(RB20)");
}

TEST_F(SerialPortControlTest, ABatchBeyondTheBufferIsHandedOnRatherThanDropped) {
    // Twelve 100-character writes in one batch: the driver takes the first ones when the next
    // would overflow our buffer, so none is lost while the line has room.
    control_.holdOutput();
    for (int number = 0; number < 12; ++number) {
        control_.Output(frame(number));
    }
    control_.releaseOutput();
    std::vector<int> expected(12);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(framesIn(pty_.read(12 * kFrameSize)), expected);
    EXPECT_EQ(control_.droppedWrites(), 0u);
}

TEST_F(SerialPortControlTest, FarEndClosingDuringABatchFailsThePortOnceWhenItEnds) {
    control_.holdOutput();
    control_.Output("(RA01)");
    pty_.closeMaster();
    control_.Output("(RA11)");
    control_.releaseOutput();
    EXPECT_EQ(failures_, 1);
    EXPECT_FALSE(control_.PortOpen());
    EXPECT_EQ(control_.unsentOutput(), 0) << "the batch is gone with the line";
    control_.holdOutput();
    control_.Output("(RA21)");
    control_.releaseOutput();
    QCoreApplication::processEvents();
    EXPECT_EQ(failures_, 1);
}

TEST_F(SerialPortControlTest, EveryByteGoesOutUntranslated) {
    const std::string text("1/0/\n\r\0\xff\x7f\x11\x13", 11);
    control_.Output(text);
    EXPECT_EQ(pty_.read(text.size()), text);
    EXPECT_EQ(pty_.read(1, 100ms), "");
}

TEST_F(SerialPortControlTest, LineIsEightNoneOneRawWithoutFlowControl) {
    // On a pty, the master reports the slave's settings.
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty_.master(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    Pty other;
    const ComPorts otherPorts({other.path()});
    SerialPortControl slow(otherPorts, 9600);
    slow.setCommPort(1);
    ASSERT_TRUE(slow.setPortOpen(true));
    ASSERT_EQ(::tcgetattr(other.master(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(slow.baudRate(), 9600);
}

TEST_F(SerialPortControlTest, WriteLongerThanTheBufferIsDroppedWhole) {
    control_.Output(std::string(SerialPortControl::kOutBufferSize + 1, 'x'));
    EXPECT_EQ(control_.droppedWrites(), 1u);
    const std::string fits(SerialPortControl::kOutBufferSize, 'y');
    control_.Output(fits);
    EXPECT_EQ(control_.droppedWrites(), 1u);
    EXPECT_EQ(pty_.read(fits.size() + 1, 300ms), fits);
}

TEST_F(SerialPortControlTest, StalledReaderGetsWholeWritesOnlyAndDropsAreCounted) {
    const std::vector<int> accepted = fillWhileStalled(5);
    ASSERT_GE(control_.droppedWrites(), 5u);
    const std::int64_t unsent = control_.unsentOutput();
    EXPECT_LE(unsent, SerialPortControl::kOutBufferSize);
    EXPECT_GT(unsent, SerialPortControl::kOutBufferSize - static_cast<std::int64_t>(kFrameSize))
        << "a frame was dropped although it fitted";

    // The reader wakes up; whatever the control still holds follows.
    std::string received;
    ASSERT_TRUE(waitUntil(
        [&] {
            received += pty_.read(1 << 20, 20ms);
            return control_.unsentOutput() == 0;
        },
        5000ms));
    received += pty_.readUntilQuiet(100ms);

    // Every accepted write arrived whole and in order, and no dropped one did.
    EXPECT_EQ(framesIn(received), accepted);
}

TEST_F(SerialPortControlTest, HeldOutputGoesOutWhileTheEventLoopRuns) {
    const std::vector<int> accepted = fillWhileStalled(0);
    ASSERT_GT(control_.unsentOutput(), 0);
    // Nothing calls the control now: its notifier alone must send what it holds.
    std::string received;
    const std::size_t total = accepted.size() * kFrameSize;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            received += pty_.read(1 << 20, 0ms);
            return received.size() >= total;
        },
        5000));
    EXPECT_EQ(framesIn(received), accepted);
}

// ---- input ----

TEST_F(SerialPortControlTest, InputReturnsAndRemovesWhatArrivedWithoutEventLoop) {
    ASSERT_TRUE(pty_.write("xxZMDyy"));
    ASSERT_TRUE(waitUntil([&] { return control_.InBufferCount() >= 7; }));
    EXPECT_EQ(control_.InBufferCount(), 7);
    EXPECT_EQ(control_.Input(), "xxZMDyy");
    EXPECT_EQ(control_.InBufferCount(), 0);
    EXPECT_EQ(control_.Input(), "");
}

TEST_F(SerialPortControlTest, InBufferCountAddsUpChunks) {
    control_.Output("90/");
    EXPECT_EQ(pty_.read(3), "90/");
    ASSERT_TRUE(pty_.write("T"));
    ASSERT_TRUE(waitUntil([&] { return control_.InBufferCount() >= 1; }));
    EXPECT_EQ(control_.InBufferCount(), 1) << "one character is not yet a reply";
    ASSERT_TRUE(pty_.write("M"));
    ASSERT_TRUE(waitUntil([&] { return control_.InBufferCount() >= 2; }));
    ASSERT_TRUE(pty_.write("\r\n"));
    ASSERT_TRUE(waitUntil([&] { return control_.InBufferCount() >= 4; }));
    EXPECT_EQ(control_.Input(), "TM\r\n");
}

TEST_F(SerialPortControlTest, ABatchReadsWhatItsLookFoundAndKeepsWhatCameLater) {
    // A frame looks at the line once, when its batch begins; what arrives after that waits
    // for the next frame rather than being lost.
    ASSERT_TRUE(pty_.write("ab"));
    std::this_thread::sleep_for(50ms);  // into the slave's input queue
    control_.holdOutput();
    ASSERT_TRUE(pty_.write("cd"));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(control_.PortOpen());
    EXPECT_EQ(control_.Input(), "ab");
    control_.Output("(RA01)");
    control_.releaseOutput();
    EXPECT_EQ(pty_.read(6), "(RA01)");
    EXPECT_EQ(control_.Input(), "cd");
}

TEST_F(SerialPortControlTest, OneLookAtSeveralLinesGivesEachLineItsOwn) {
    // The frame looks at all its lines with one poll: each port must still get what its own
    // line showed, a hang-up included, and a closed port in the list changes nothing.
    Pty otherPty;
    Pty gonePty;
    ComPorts otherPorts{{otherPty.path()}};
    ComPorts gonePorts{{gonePty.path()}};
    SerialPortControl other{otherPorts, 115200};
    SerialPortControl gone{gonePorts, 115200};
    SerialPortControl closed{ports_, 115200};
    other.setCommPort(1);
    gone.setCommPort(1);
    ASSERT_TRUE(other.setPortOpen(true));
    ASSERT_TRUE(gone.setPortOpen(true));
    int goneFailures = 0;
    gone.setFailureHandler([&] { ++goneFailures; });
    ASSERT_TRUE(pty_.write("ab"));
    ASSERT_TRUE(otherPty.write("xy"));
    std::this_thread::sleep_for(50ms);
    gonePty.closeMaster();

    SerialPortControl* const all[] = {&control_, &other, &gone, &closed};
    SerialPortControl::holdOutputs(all);
    ASSERT_TRUE(otherPty.write("zz"));  // after the look: the next frame's
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(control_.PortOpen());
    EXPECT_EQ(control_.Input(), "ab");
    EXPECT_EQ(other.Input(), "xy");
    EXPECT_FALSE(gone.PortOpen());
    EXPECT_EQ(goneFailures, 1);
    EXPECT_EQ(failures_, 0);
    EXPECT_FALSE(closed.PortOpen());
    control_.Output("(RA01)");
    other.Output("(RA02)");
    for (SerialPortControl* port : all) {
        port->releaseOutput();
    }
    EXPECT_EQ(pty_.read(6), "(RA01)");
    EXPECT_EQ(otherPty.read(6), "(RA02)");
    EXPECT_EQ(other.Input(), "zz");
}

TEST_F(SerialPortControlTest, InputArrivingWhileTheEventLoopRunsIsKept) {
    ASSERT_TRUE(pty_.write("ZMD"));
    QTest::qWait(100);
    ASSERT_TRUE(pty_.write("!"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return control_.InBufferCount() >= 4; }, 2000));
    EXPECT_EQ(control_.Input(), "ZMD!");
}

TEST_F(SerialPortControlTest, InputBeyondTheBufferWaitsAndIsNotLost) {
    std::string sent;
    for (int i = 0; i < 1500; ++i) {
        sent += static_cast<char>('A' + i % 50);
    }
    ASSERT_TRUE(pty_.write(sent));
    ASSERT_TRUE(
        waitUntil([&] { return control_.InBufferCount() >= SerialPortControl::kInBufferSize; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(control_.InBufferCount(), SerialPortControl::kInBufferSize);
    EXPECT_EQ(control_.Input(), sent.substr(0, SerialPortControl::kInBufferSize));
    const int rest = static_cast<int>(sent.size()) - SerialPortControl::kInBufferSize;
    ASSERT_TRUE(waitUntil([&] { return control_.InBufferCount() >= rest; }));
    EXPECT_EQ(control_.Input(), sent.substr(SerialPortControl::kInBufferSize));
}

// ---- failure of the far end ----

TEST_F(SerialPortControlTest, FarEndClosingFailsThePortOnce) {
    pty_.closeMaster();
    EXPECT_FALSE(control_.PortOpen());
    control_.Output("(RA00)");
    EXPECT_EQ(failures_, 1);
    EXPECT_TRUE(control_.failed());
    EXPECT_FALSE(control_.PortOpen());

    // Everything afterwards is harmless.
    control_.Output("(RA10)");
    EXPECT_EQ(control_.Input(), "");
    EXPECT_EQ(control_.InBufferCount(), 0);
    EXPECT_EQ(control_.unsentOutput(), 0);
    EXPECT_TRUE(control_.setPortOpen(false));
    control_.Output("(RA20)");
    QCoreApplication::processEvents();
    EXPECT_EQ(failures_, 1);
    EXPECT_EQ(control_.droppedWrites(), 0u);
}

TEST_F(SerialPortControlTest, FarEndClosingIsNoticedByTheEventLoopAlone) {
    pty_.closeMaster();
    EXPECT_TRUE(QTest::qWaitFor([&] { return failures_ > 0; }, 2000));
    QTest::qWait(50);
    EXPECT_EQ(failures_, 1);
    EXPECT_TRUE(control_.failed());
    EXPECT_FALSE(control_.PortOpen());
    control_.Output("(RA00)");
    EXPECT_EQ(failures_, 1);
}

TEST_F(SerialPortControlTest, FarEndClosingWithOutputHeldFailsOnce) {
    fillWhileStalled(1);
    pty_.closeMaster();
    control_.Output(frame(1));
    EXPECT_EQ(control_.InBufferCount(), 0);
    QTest::qWait(50);
    EXPECT_EQ(failures_, 1);
    EXPECT_FALSE(control_.PortOpen());
}

TEST(SerialPortControlReopen, OpeningAgainAfterAFailureUsesTheDeviceAfresh) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string link = dir.path().toStdString() + "/com1";
    auto first = std::make_unique<Pty>();
    ASSERT_EQ(::symlink(first->path().c_str(), link.c_str()), 0);
    const ComPorts ports({link});
    SerialPortControl control(ports, 115200);
    int failures = 0;
    control.setFailureHandler([&] { ++failures; });
    control.setCommPort(1);
    ASSERT_TRUE(control.setPortOpen(true));
    first->closeMaster();
    control.Output("x");
    ASSERT_EQ(failures, 1);

    // The adapter comes back under the same name.
    Pty second;
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(second.path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(control.setPortOpen(true));
    EXPECT_FALSE(control.failed());
    control.Output("(ZMD)");
    EXPECT_EQ(second.read(5), "(ZMD)");
    second.closeMaster();
    control.Output("x");
    EXPECT_EQ(failures, 2);
}

// ---- opening and closing ----

TEST(SerialPortControlOpen, FailsQuietlyWhenThereIsNoUsableDevice) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string plain = dir.path().toStdString() + "/plain";
    const int fd = ::open(plain.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const ComPorts ports({dir.path().toStdString() + "/missing", plain});
    SerialPortControl control(ports, 115200);
    int failures = 0;
    control.setFailureHandler([&] { ++failures; });

    for (std::int16_t n : {0, 1, 2, 3, -1}) {
        control.setCommPort(n);
        EXPECT_FALSE(control.setPortOpen(true)) << "COM" << n;
        EXPECT_FALSE(control.PortOpen()) << "COM" << n;
    }
    control.Output("x");
    EXPECT_EQ(control.Input(), "");
    EXPECT_EQ(control.droppedWrites(), 0u);
    EXPECT_FALSE(control.failed());
    EXPECT_EQ(failures, 0);
}

TEST(SerialPortControlOpen, PortHeldElsewhereDoesNotOpen) {
    Pty pty;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string alias = dir.path().toStdString() + "/alias";
    ASSERT_EQ(::symlink(pty.path().c_str(), alias.c_str()), 0);
    const ComPorts ports({pty.path(), alias});

    SerialPortControl holder(ports, 115200);
    holder.setCommPort(1);
    ASSERT_TRUE(holder.setPortOpen(true));

    SerialPortControl same(ports, 115200);
    same.setCommPort(1);
    EXPECT_FALSE(same.setPortOpen(true)) << "same name";
    EXPECT_FALSE(same.PortOpen());
    SerialPortControl viaAlias(ports, 115200);
    viaAlias.setCommPort(2);
    EXPECT_FALSE(viaAlias.setPortOpen(true)) << "another name for the same device";

    // The holder is undisturbed, and the port is free once it lets go.
    holder.Output("(ZMD)");
    EXPECT_EQ(pty.read(5), "(ZMD)");
    ASSERT_TRUE(holder.setPortOpen(false));
    EXPECT_TRUE(same.setPortOpen(true));
}

TEST(SerialPortControlOpen, PortLockedByAnotherProgramDoesNotOpen) {
    Pty pty;
    const int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    const ComPorts ports({pty.path()});
    SerialPortControl control(ports, 115200);
    control.setCommPort(1);
    EXPECT_FALSE(control.setPortOpen(true));
    EXPECT_FALSE(control.PortOpen());
    ::close(other);
    EXPECT_TRUE(control.setPortOpen(true));
}

// Another program, as a child process that lives until the test ends: it opens `device`
// first when one is given, as a terminal program would.
class OtherProgram {
  public:
    explicit OtherProgram(const std::string& device = "") {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!device.empty() && ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0) {
                ::_exit(1);
            }
            char c = 'r';
            (void)!::write(ready[1], &c, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char c = 0;
        ok_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~OtherProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return ok_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

// A lock file for `device` in the system's lock directory, as a serial program writes one
// (pid, program name, host); removed when the test ends. The name is the test's own
// pseudo-terminal's, which no other process can hold meanwhile.
class LockFile {
  public:
    LockFile(const std::string& device, pid_t owner) : path_("/run/lock/" + lockFileName(device)) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        FILE* file = std::fopen(path_.c_str(), "w");
        ok_ = file != nullptr;
        if (file != nullptr) {
            std::fprintf(file, "%d\n%s\n%s\n", static_cast<int>(owner),
                         program_invocation_short_name, host);
            std::fclose(file);
        }
    }
    ~LockFile() { ::unlink(path_.c_str()); }
    bool ok() const { return ok_; }

  private:
    std::string path_;
    bool ok_ = false;
};

TEST(SerialPortControlLockFiles, ALockFileThatOutlivedItsPortDoesNotKeepTheNextDeviceOut) {
    // Another program had this name's former device and still lives; its lock file is still
    // there (it crashed, or it is between closing and unlinking). The device now behind the
    // name is a new one, as when an adapter is pulled and put back or a pty number is reused.
    OtherProgram other;
    ASSERT_TRUE(other.ok());
    Pty pty;
    const LockFile lock(pty.devicePath(), other.pid());
    ASSERT_TRUE(lock.ok());
    const ComPorts ports({pty.path()});
    SerialPortControl control(ports, 115200);
    control.setCommPort(1);
    ASSERT_TRUE(control.setPortOpen(true));
    control.Output("(ZMD)");
    EXPECT_EQ(pty.read(5), "(ZMD)");
}

TEST(SerialPortControlLockFiles, APortAnotherProgramHoldsUnderItsLockFileDoesNotOpen) {
    Pty pty;
    const ComPorts ports({pty.path()});
    SerialPortControl control(ports, 115200);
    control.setCommPort(1);
    {
        // The other program locks the device's own name; we are given a link to it, as a
        // by-id name is.
        OtherProgram other(pty.devicePath());
        ASSERT_TRUE(other.ok());
        const LockFile lock(pty.devicePath(), other.pid());
        ASSERT_TRUE(lock.ok());
        EXPECT_FALSE(control.setPortOpen(true));
        EXPECT_EQ(control.openError(), PosixSerialTransport::OpenError::Busy);
    }
    EXPECT_TRUE(control.setPortOpen(true)) << "free once the other program has gone";
}

TEST(SerialPortControlLockFiles, NamesFollowTheDevicePath) {
    EXPECT_EQ(lockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(lockFileName("/dev/pts/5"), "LCK..pts_5");
    EXPECT_EQ(lockFileName("/tmp/x/com1"), "LCK..com1");
}

TEST_F(SerialPortControlTest, CommPortChangesOnlyWhileClosed) {
    control_.setCommPort(2);
    EXPECT_EQ(control_.CommPort(), 1);
    EXPECT_EQ(control_.devicePath(), pty_.path());
    ASSERT_TRUE(control_.setPortOpen(false));
    control_.setCommPort(2);
    EXPECT_EQ(control_.CommPort(), 2);
    EXPECT_EQ(control_.devicePath(), "");
}

TEST_F(SerialPortControlTest, ClosingSendsHeldOutputFirst) {
    const std::vector<int> accepted = fillWhileStalled(0);
    ASSERT_GT(control_.unsentOutput(), 0);
    std::string received;
    std::thread reader([&] { received = pty_.readUntilQuiet(500ms); });
    control_.setPortOpen(false);
    reader.join();
    EXPECT_FALSE(control_.PortOpen());
    EXPECT_EQ(framesIn(received), accepted);
    EXPECT_EQ(failures_, 0);
}

TEST_F(SerialPortControlTest, ClosingDoesNotHangOnAStalledReader) {
    fillWhileStalled(1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(control_.setPortOpen(false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(control_.PortOpen());
    // The device is released and opens again straight away.
    EXPECT_TRUE(control_.setPortOpen(true));
    EXPECT_EQ(failures_, 0);
}

}  // namespace
}  // namespace kf
