#include "devices/SerialPortControl.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <array>
#include <cerrno>

namespace kf {

SerialPortControl::SerialPortControl(const ComPorts& ports, std::int32_t baudRate, QObject* parent)
    : QObject(parent), ports_(ports), baudRate_(baudRate) {
    // Found by the event loop's notifiers, not inside one of our calls: close later, outside
    // the notifier that noticed it.
    line_.setLostHandler([this] {
        if (!failed_) {
            fail();
            QMetaObject::invokeMethod(this, &SerialPortControl::settle, Qt::QueuedConnection);
        }
    });
}

SerialPortControl::~SerialPortControl() {
    if (line_.isOpen() && !failed_) {
        drainAndClose();
    }
    line_.close();
}

void SerialPortControl::setCommPort(std::int16_t n) {
    settle();
    if (!line_.isOpen()) {
        commPort_ = n;
    }
}

std::string SerialPortControl::devicePath() const {
    return ports_.devicePath(commPort_);
}

bool SerialPortControl::setPortOpen(bool open) {
    settle();
    if (!open) {
        if (line_.isOpen()) {
            drainAndClose();
        }
        line_.close();
        settle();
        return true;
    }
    if (line_.isOpen()) {
        return true;
    }
    const std::string path = ports_.devicePath(commPort_);
    if (path.empty()) {
        openError_ = PosixSerialTransport::OpenError::NoDevice;
        return false;
    }
    // A new open starts afresh: the device may be back after a failure.
    failed_ = false;
    looked_ = false;
    lineFreeAt_ = {};
    failureReported_ = false;
    openError_ = line_.open(path, baudRate_);
    if (openError_ == PosixSerialTransport::OpenError::NotPermitted && onRefused_) {
        onRefused_(path);
    }
    return openError_ == PosixSerialTransport::OpenError::None;
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
    // One system call for the frame's look at every line rather than one per port.
    constexpr std::size_t kMost = 8;
    std::array<PosixSerialTransport*, kMost> lines{};
    std::size_t n = 0;
    for (SerialPortControl* port : ports) {
        if (port->held_ == 0 && port->pumpable()) {
            if (n == kMost) {
                port->pump();
            } else {
                lines[n++] = &port->line_;
            }
        }
    }
    PosixSerialTransport::lookAll({lines.data(), n});
    for (SerialPortControl* port : ports) {
        if (port->held_++ != 0) {
            continue;
        }
        port->noteLine();
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
    return line_.queued() + batch_.size();
}

void SerialPortControl::sendBatch() {
    pump();  // what the transport still holds goes first
    if (usable() && !batch_.empty()) {
        send(batch_.data(), batch_.size());
    }
    batch_.clear();
}

void SerialPortControl::send(const char* data, std::size_t size) {
    line_.write(data, size);
    noteLine();
}

std::string SerialPortControl::Input() {
    pump();
    std::string received;
    if (usable()) {
        received = line_.takeInput();
    }
    settle();
    return received;
}

int SerialPortControl::InBufferCount() {
    pump();
    const int count = usable() ? static_cast<int>(line_.available()) : 0;
    settle();
    return count;
}

std::int64_t SerialPortControl::unsentOutput() {
    pump();
    std::int64_t unsent = 0;
    if (usable()) {
        unsent = static_cast<std::int64_t>(unsentHere());
        unsent += queueProbe_ ? std::max<std::int64_t>(0, queueProbe_(line_.handle()))
                              : line_.driverQueue();
    }
    settle();
    return unsent;
}

std::int64_t SerialPortControl::lineBacklog() {
    const std::int64_t unsent = unsentOutput();
    return usable() ? std::max(unsent, pacedBacklog()) : 0;
}

namespace {

// A character's time as the pacing counts it: ten bits (8N1: a start bit, eight data bits and a
// stop bit) at 5 % below the nominal rate. Sending a little less than the line carries lets a
// queue that something left on it (the search's commands, a burst) drain away behind a far end
// that hides its queue (a pseudo-terminal, ser2net, socat), instead of standing for the show.
std::chrono::nanoseconds characterTime(std::int32_t baudRate) {
    return std::chrono::nanoseconds(10'500'000'000LL / std::max<std::int32_t>(baudRate, 1));
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
    if (!line_.isOpen() || looked_) {
        return false;  // a hang-up the batch's look saw has already failed the port
    }
    return line_.hungUp();
}

void SerialPortControl::pump() {
    if (!pumpable()) {
        return;
    }
    line_.look();
    noteLine();
}

void SerialPortControl::noteLine() {
    if (!failed_ && line_.state() == PosixSerialTransport::State::Lost) {
        fail();
    }
}

void SerialPortControl::fail() {
    failed_ = true;
    batch_.clear();
}

void SerialPortControl::settle() {
    if (!failed_ || failureReported_) {
        return;
    }
    failureReported_ = true;
    line_.close();
    if (onFailure_) {
        onFailure_();
    }
}

void SerialPortControl::drainAndClose() {
    const QDeadlineTimer deadline(kCloseWaitMs);
    sendBatch();
    looked_ = false;  // the wait below needs fresh looks at the line
    bool drained = false;
    while (!failed_ && line_.isOpen()) {
        pump();
        if (failed_) {
            break;
        }
        const bool ours = line_.queued() > 0;
        if (!ours && line_.driverQueue() <= 0) {
            drained = true;
            break;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            break;
        }
        // Wait for room when we still hold output; otherwise just let the driver send.
        line_.waitForLine(ours, static_cast<int>(std::min<qint64>(left, 10)));
    }
    if (!drained && !failed_) {
        // The far end is not taking data: drop what the driver holds so close does not wait
        // for it (the driver's own closing wait can be many seconds).
        line_.discardDriverOutput();
    }
    line_.close();
}

}  // namespace kf
