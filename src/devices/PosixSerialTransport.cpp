#include "devices/PosixSerialTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "devices/SerialLockFiles.h"

namespace kf {

namespace {

constexpr short kLineDown = POLLHUP | POLLERR | POLLNVAL;

speed_t speedFor(std::int32_t baudRate) {
    switch (baudRate) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

PosixSerialTransport::OpenError openErrorFor(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return PosixSerialTransport::OpenError::NotPermitted;
        case EBUSY:
        case EWOULDBLOCK:
            return PosixSerialTransport::OpenError::Busy;
        default:
            return PosixSerialTransport::OpenError::NoDevice;
    }
}

// 8N1, no flow control, nothing translated or echoed, reads that never wait.
bool makeRaw(int fd, speed_t speed) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ::cfsetispeed(&tio, speed) == 0 && ::cfsetospeed(&tio, speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

PosixSerialTransport::PosixSerialTransport(std::size_t inCapacity, QObject* parent)
    : QObject(parent), inCapacity_(inCapacity) {}

PosixSerialTransport::~PosixSerialTransport() {
    close();
}

PosixSerialTransport::OpenError PosixSerialTransport::open(const std::string& path,
                                                           std::int32_t baudRate) {
    close();
    const speed_t speed = speedFor(baudRate);
    if (speed == B0) {
        return OpenError::BadSpeed;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return openErrorFor(errno);
    }
    OpenError error = OpenError::None;
    struct stat st {};
    // flock also keeps out programs that open the device under another name (a symlink).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = openErrorFor(errno == EWOULDBLOCK ? EBUSY : errno);
    } else if (::fstat(fd, &st) == 0 && heldByAnotherProgram(path, st.st_rdev)) {
        error = OpenError::Busy;
    } else if (!makeRaw(fd, speed)) {
        error = OpenError::NotSerial;
    }
    if (error != OpenError::None) {
        ::close(fd);
        return error;
    }
    // Best effort: a later open by another program fails, unless it is privileged.
    ::ioctl(fd, TIOCEXCL);
    // No flush here: what an earlier holder wrote (the search's set-up commands) may still be
    // on its way to a slow reader.
    fd_ = fd;
    state_ = State::Open;
    readNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    writeNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this,
            &PosixSerialTransport::onNotifier);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this,
            &PosixSerialTransport::onNotifier);
    armNotifiers();
    return OpenError::None;
}

void PosixSerialTransport::close() {
    readNotifier_.reset();
    writeNotifier_.reset();
    if (fd_ >= 0) {
        // A pseudo-terminal (socat, ser2net) keeps its exclusive mode after the last close
        // while its far end stays: left set, it would refuse the user our own next open.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);  // the flock ends with it
        fd_ = -1;
    }
    state_ = State::Closed;
    in_.clear();
    out_.clear();
}

void PosixSerialTransport::look() {
    if (state_ != State::Open) {
        return;
    }
    pollfd p{fd_, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 0) >= 0) {
        lookSeen(p.revents);
    }
}

bool PosixSerialTransport::hungUp() const {
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & kLineDown) != 0;
}

void PosixSerialTransport::lookAll(std::span<PosixSerialTransport* const> lines) {
    constexpr std::size_t kMost = 8;
    std::array<pollfd, kMost> fds{};
    std::array<PosixSerialTransport*, kMost> owners{};
    std::size_t n = 0;
    for (PosixSerialTransport* line : lines) {
        if (line->state_ != State::Open) {
            continue;
        }
        if (n == kMost) {
            line->look();
            continue;
        }
        fds[n] = pollfd{line->fd_, POLLIN | POLLOUT, 0};
        owners[n++] = line;
    }
    if (n == 0 || ::poll(fds.data(), n, 0) < 0) {
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        owners[i]->lookSeen(fds[i].revents);
    }
}

void PosixSerialTransport::lookSeen(short revents) {
    if (state_ != State::Open) {
        return;
    }
    if ((revents & kLineDown) != 0) {
        lose();
        return;
    }
    if ((revents & POLLIN) != 0) {
        readIn();
    }
    if (state_ == State::Open && (revents & POLLOUT) != 0 && !out_.empty()) {
        writeOut();
    }
    armNotifiers();
}

void PosixSerialTransport::readIn() {
    while (state_ == State::Open && in_.size() < inCapacity_) {
        char buffer[1024];
        const std::size_t want = std::min(sizeof buffer, inCapacity_ - in_.size());
        const ssize_t n = ::read(fd_, buffer, want);
        if (n > 0) {
            in_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        // A raw line with VMIN 0 reads 0 when nothing is left; a hang-up shows in the look.
        if (n == 0 || errno == EAGAIN || errno == EINTR) {
            return;
        }
        lose();  // EIO: the device is gone
    }
}

void PosixSerialTransport::write(const char* data, std::size_t size) {
    if (state_ != State::Open || size == 0) {
        return;
    }
    out_.append(data, size);
    writeOut();
    armNotifiers();
}

void PosixSerialTransport::writeOut() {
    while (state_ == State::Open && !out_.empty()) {
        const ssize_t n = ::write(fd_, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;  // the driver is full; the rest goes when the line takes it
        }
        lose();  // EIO once a pseudo-terminal's far end closes, ENODEV for a pulled adapter
    }
}

std::int64_t PosixSerialTransport::driverQueue() const {
    int queued = 0;
    if (state_ != State::Open || ::ioctl(fd_, TIOCOUTQ, &queued) != 0) {
        return 0;
    }
    return std::max(queued, 0);
}

void PosixSerialTransport::discardDriverOutput() {
    if (state_ == State::Open) {
        ::tcflush(fd_, TCOFLUSH);
    }
}

void PosixSerialTransport::waitForLine(bool wantOutput, int timeoutMs) {
    if (state_ != State::Open) {
        return;
    }
    pollfd p{fd_, static_cast<short>(wantOutput ? POLLOUT : 0), 0};
    ::poll(&p, 1, timeoutMs);
}

std::string PosixSerialTransport::takeInput() {
    std::string taken;
    taken.swap(in_);
    armNotifiers();  // there is room again
    return taken;
}

void PosixSerialTransport::lose() {
    state_ = State::Lost;
    in_.clear();
    out_.clear();
    armNotifiers();
}

void PosixSerialTransport::armNotifiers() {
    const bool open = state_ == State::Open;
    if (readNotifier_) {
        // A full buffer leaves the rest in the driver; a notifier still armed would spin.
        readNotifier_->setEnabled(open && in_.size() < inCapacity_);
    }
    if (writeNotifier_) {
        writeNotifier_->setEnabled(open && !out_.empty());
    }
}

void PosixSerialTransport::onNotifier() {
    const bool wasOpen = state_ == State::Open;
    look();
    if (wasOpen && state_ == State::Lost && onLost_) {
        onLost_();
    }
}

}  // namespace kf
