#pragma once

// A pseudo-terminal pair for serial tests: the control under test opens the slave by its path,
// the test plays the far end on the master. Closing the master looks like unplugging the
// device to whoever holds the slave. The control is given a name of the test's own (see
// PtyLink), which goes with the master.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "boardsim/PtyLink.h"

namespace kf::test {

class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            closeMaster();
            throw std::runtime_error("cannot create a pseudo-terminal");
        }
        char name[128] = {};
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            closeMaster();
            throw std::runtime_error("ptsname failed");
        }
        device_ = name;
        // Raw on the slave side, so the line discipline neither echoes nor translates.
        const int slave = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0) {
            closeMaster();
            throw std::runtime_error("cannot open the pseudo-terminal slave");
        }
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::close(slave);
        link_ = std::make_unique<boardsim::PtyLink>(device_);
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return link_->path(); }
    // The device itself, /dev/pts/N.
    const std::string& devicePath() const { return device_; }
    int master() const { return master_; }

    // Whether someone holds the line open: once the last holder of the slave closes it, the
    // master reports a hang-up until it is opened again.
    bool heldOpen() const {
        pollfd p{master_, 0, 0};
        return ::poll(&p, 1, 0) == 0 || (p.revents & POLLHUP) == 0;
    }

    // The baud rate the line is set to now, as the terminal driver has it; B0 if unknown.
    speed_t baud() const {
        const int fd = ::open(device_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        const bool known = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        return known ? ::cfgetospeed(&tio) : B0;
    }

    // Writes all of data to the far end of the line; false if that does not finish in time.
    bool write(std::string_view data,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!data.empty()) {
            const ssize_t n = ::write(master_, data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            if (!waitFor(POLLOUT, deadline)) {
                return false;
            }
        }
        return true;
    }

    // Reads until `count` bytes have arrived or the timeout ends; returns what arrived.
    std::string read(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string received;
        char buffer[4096];
        while (received.size() < count) {
            const std::size_t want = std::min(sizeof buffer, count - received.size());
            const ssize_t n = ::read(master_, buffer, want);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            // EIO: the slave is closed and everything it sent has been read.
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
            if (!waitFor(POLLIN, deadline)) {
                break;
            }
        }
        return received;
    }

    // Everything that arrives until the line has been quiet for `quiet`.
    std::string readUntilQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds(200)) {
        std::string received;
        for (;;) {
            std::string more = read(65536, quiet);
            if (more.empty()) {
                return received;
            }
            received += more;
        }
    }

    void closeMaster() {
        if (link_) {
            link_->remove();
        }
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

  private:
    bool waitFor(short events, std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{master_, events, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    int master_ = -1;
    std::string device_;
    std::unique_ptr<boardsim::PtyLink> link_;
};

}  // namespace kf::test
