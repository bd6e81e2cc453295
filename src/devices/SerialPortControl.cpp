#include "devices/SerialPortControl.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <algorithm>
#include <array>
#include <cerrno>

namespace kf {

namespace {

constexpr short kLineDown = POLLHUP | POLLERR | POLLNVAL;

}  // namespace

SerialPortControl::SerialPortControl(const ComPorts& ports, std::int32_t baudRate, QObject* parent)
    : QObject(parent), ports_(ports), baudRate_(baudRate) {
    port_.setBaudRate(baudRate_);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    // Characters beyond the input buffer stay in the driver until Input makes room, so a
    // slow reader gets them later rather than losing them here.
    port_.setReadBufferSize(kInBufferSize);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPortControl::onPortError);
}

SerialPortControl::~SerialPortControl() {
    disconnect(&port_, nullptr, this, nullptr);
    if (port_.isOpen()) {
        if (!failed_) {
            drainAndClose();
        } else {
            port_.close();
        }
    }
}

void SerialPortControl::setCommPort(std::int16_t n) {
    settle();
    if (!port_.isOpen()) {
        commPort_ = n;
    }
}

std::string SerialPortControl::devicePath() const {
    return ports_.devicePath(commPort_);
}

bool SerialPortControl::setPortOpen(bool open) {
    settle();
    if (!open) {
        if (port_.isOpen()) {
            drainAndClose();
        }
        settle();
        return true;
    }
    if (port_.isOpen()) {
        return true;
    }
    const std::string path = ports_.devicePath(commPort_);
    if (path.empty()) {
        return false;
    }
    // A new open starts afresh: the device may be back after a failure.
    failed_ = false;
    looked_ = false;
    lineFreeAt_ = {};
    failureReported_ = false;
    port_.setPortName(QString::fromStdString(path));
    ++inPortCall_;
    // QSerialPort takes a lock file and sets TIOCEXCL; flock on the device also keeps out
    // programs that open it under another name (a symlink) or that lock it the same way.
    const bool opened = port_.open(QIODevice::ReadWrite);
    const bool locked = opened && ::flock(port_.handle(), LOCK_EX | LOCK_NB) == 0;
    if (opened && !locked) {
        port_.close();
    }
    --inPortCall_;
    port_.clearError();
    return locked;
}

bool SerialPortControl::PortOpen() const {
    return usable() && !hungUp();
}

void SerialPortControl::Output(const std::string& text) {
    // Within a batch the text only joins the batch, without a system call; the batch's end
    // hands it on in one write. Outside one, the driver first takes what it can, making room.
    const bool batch = held_ > 0;
    if (!batch) {
        pump();
    }
    if (usable() && !text.empty()) {
        const auto limit = static_cast<std::size_t>(kOutBufferSize);
        if (batch && unsentHere() + text.size() > limit) {
            sendBatch();  // rather than drop, let the driver take the batch so far now
        }
        if (!usable()) {
            // the line went down on the way
        } else if (unsentHere() + text.size() > limit) {
            ++droppedWrites_;
        } else if (batch) {
            batch_ += text;
            pace(text.size());
        } else {
            send(text.data(), text.size());
            pace(text.size());
        }
    }
    settle();
}

void SerialPortControl::holdOutput() {
    SerialPortControl* const self = this;
    holdOutputs({&self, 1});
}

void SerialPortControl::holdOutputs(std::span<SerialPortControl* const> ports) {
    // One system call for the frame's look at every line rather than one per port. slot[i] is
    // where port i's line is in fds; a port beyond the array looks for itself.
    constexpr std::size_t kMost = 8;
    std::array<pollfd, kMost> fds{};
    std::array<int, kMost> slot{};
    slot.fill(-1);
    std::size_t n = 0;
    for (std::size_t i = 0; i < std::min(ports.size(), kMost); ++i) {
        if (ports[i]->held_ == 0 && ports[i]->pumpable()) {
            fds[n] = pollfd{ports[i]->port_.handle(), POLLIN | POLLOUT, 0};
            slot[i] = static_cast<int>(n++);
        }
    }
    const bool seen = n > 0 && ::poll(fds.data(), n, 0) >= 0;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SerialPortControl* const port = ports[i];
        if (port->held_++ != 0) {
            continue;
        }
        if (seen && i < kMost && slot[i] >= 0) {
            port->pumpSeen(fds[static_cast<std::size_t>(slot[i])].revents);
        } else {
            port->pump();
        }
        port->looked_ = port->usable();
        port->settle();
    }
}

void SerialPortControl::releaseOutput() {
    if (held_ > 0 && --held_ == 0) {
        sendBatch();
        looked_ = false;
        settle();
    }
}

std::size_t SerialPortControl::unsentHere() const {
    return static_cast<std::size_t>(port_.bytesToWrite()) + batch_.size();
}

void SerialPortControl::sendBatch() {
    pump();  // what QSerialPort still holds goes first
    if (usable() && !batch_.empty()) {
        send(batch_.data(), batch_.size());
    }
    batch_.clear();
}

void SerialPortControl::send(const char* data, std::size_t size) {
    // Straight to the descriptor while nothing earlier waits: no write notifier is armed, so
    // the event loop is not woken once more each frame only to find the output gone.
    if (port_.bytesToWrite() == 0) {
        const ssize_t written = ::write(port_.handle(), data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            fail();  // the device is gone (EIO once a pseudo-terminal's far end closes)
            return;
        }
    }
    if (size > 0) {
        // The driver is full: QSerialPort keeps the rest and sends it as the line takes it.
        ++inPortCall_;
        port_.write(data, static_cast<qint64>(size));
        --inPortCall_;
    }
}

std::string SerialPortControl::Input() {
    pump();
    std::string received;
    if (usable()) {
        const QByteArray data = port_.readAll();
        received.assign(data.constData(), static_cast<std::size_t>(data.size()));
    }
    settle();
    return received;
}

int SerialPortControl::InBufferCount() {
    pump();
    const int count = usable() ? static_cast<int>(port_.bytesAvailable()) : 0;
    settle();
    return count;
}

std::int64_t SerialPortControl::unsentOutput() {
    pump();
    std::int64_t unsent = 0;
    if (usable()) {
        unsent = static_cast<std::int64_t>(unsentHere());
        if (queueProbe_) {
            unsent += std::max<std::int64_t>(0, queueProbe_(port_.handle()));
        } else {
            int queued = 0;
            if (::ioctl(port_.handle(), TIOCOUTQ, &queued) == 0 && queued > 0) {
                unsent += queued;
            }
        }
    }
    settle();
    return unsent;
}

std::int64_t SerialPortControl::lineBacklog() {
    const std::int64_t unsent = unsentOutput();
    return usable() ? std::max(unsent, pacedBacklog()) : 0;
}

namespace {

std::chrono::nanoseconds characterTime(std::int32_t baudRate) {
    // 8N1: a start bit, eight data bits and a stop bit.
    return std::chrono::nanoseconds(10'000'000'000LL / std::max<std::int32_t>(baudRate, 1));
}

}  // namespace

void SerialPortControl::pace(std::size_t characters) {
    const auto now = std::chrono::steady_clock::now();
    lineFreeAt_ = std::max(lineFreeAt_, now) +
                  characterTime(baudRate_) * static_cast<std::int64_t>(characters);
}

std::int64_t SerialPortControl::pacedBacklog() const {
    const auto left = lineFreeAt_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto each = characterTime(baudRate_);
    return static_cast<std::int64_t>((left + each - std::chrono::nanoseconds(1)) / each);
}

bool SerialPortControl::hungUp() const {
    if (!port_.isOpen() || looked_) {
        return false;  // a hang-up the batch's look saw has already failed the port
    }
    pollfd p{port_.handle(), 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & kLineDown) != 0;
}

void SerialPortControl::pump() {
    if (!pumpable()) {
        return;
    }
    pollfd p{port_.handle(), POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0) {
        return;
    }
    pumpSeen(p.revents);
}

void SerialPortControl::pumpSeen(short revents) {
    if ((revents & kLineDown) != 0) {
        fail();
        return;
    }
    ++inPortCall_;
    // Only call into QSerialPort when the descriptor is ready: it reports a would-block
    // write as a resource error, which must not look like an unplugged device.
    if ((revents & POLLIN) != 0 && port_.bytesAvailable() < kInBufferSize) {
        port_.waitForReadyRead(0);
    }
    if (!failed_ && (revents & POLLOUT) != 0 && port_.bytesToWrite() > 0) {
        port_.flush();
    }
    --inPortCall_;
    if (!failed_ && port_.error() != QSerialPort::NoError) {
        port_.clearError();
    }
}

void SerialPortControl::onPortError(QSerialPort::SerialPortError error) {
    if (failed_ || !port_.isOpen()) {
        return;
    }
    bool fatal = false;
    switch (error) {
        case QSerialPort::ResourceError:
        case QSerialPort::WriteError:
            // EAGAIN arrives as a resource error; the line is only down when it is not that.
            fatal = hungUp() || port_.errorString() != qt_error_string(EAGAIN);
            break;
        case QSerialPort::ReadError:
            // A read of nothing also lands here; only a hung-up line is a failure.
            fatal = hungUp();
            break;
        default:
            break;
    }
    if (!fatal) {
        return;
    }
    fail();
    if (inPortCall_ == 0) {
        // Reported from the event loop, inside QSerialPort's own notifier: close later.
        QMetaObject::invokeMethod(this, &SerialPortControl::settle, Qt::QueuedConnection);
    }
}

void SerialPortControl::fail() {
    failed_ = true;
    batch_.clear();
}

void SerialPortControl::settle() {
    if (!failed_ || failureReported_ || inPortCall_ > 0) {
        return;
    }
    failureReported_ = true;
    if (port_.isOpen()) {
        port_.close();
    }
    port_.clearError();
    if (onFailure_) {
        onFailure_();
    }
}

void SerialPortControl::drainAndClose() {
    const QDeadlineTimer deadline(kCloseWaitMs);
    sendBatch();
    looked_ = false;  // the wait below needs fresh looks at the line
    bool drained = false;
    while (!failed_ && port_.isOpen()) {
        pump();
        if (failed_) {
            break;
        }
        int queued = 0;
        if (::ioctl(port_.handle(), TIOCOUTQ, &queued) != 0) {
            queued = 0;
        }
        const bool ours = port_.bytesToWrite() > 0;
        if (!ours && queued <= 0) {
            drained = true;
            break;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            break;
        }
        // Wait for room when we still hold output; otherwise just let the driver send.
        pollfd p{port_.handle(), static_cast<short>(ours ? POLLOUT : 0), 0};
        ::poll(&p, 1, static_cast<int>(std::min<qint64>(left, 10)));
    }
    if (!drained && !failed_ && port_.isOpen()) {
        // The far end is not taking data: drop what the driver holds so close does not wait
        // for it (the driver's own closing wait can be many seconds).
        ::tcflush(port_.handle(), TCOFLUSH);
    }
    if (port_.isOpen()) {
        port_.close();
    }
    port_.clearError();
}

}  // namespace kf
