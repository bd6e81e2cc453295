#include "ProgramPort.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace kf::boardsim::test {

using Clock = std::chrono::steady_clock;

ProgramPort::ProgramPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd_, TCSANOW, &tio);
}

ProgramPort::~ProgramPort() {
    close();
}

void ProgramPort::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void ProgramPort::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("write to the board failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string ProgramPort::readAtLeast(std::size_t count, std::chrono::milliseconds timeout) {
    std::string out;
    const auto end = Clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return out;
}

std::string ProgramPort::readFor(std::chrono::milliseconds timeout) {
    return readAtLeast(static_cast<std::size_t>(-1), timeout);
}

}  // namespace kf::boardsim::test
