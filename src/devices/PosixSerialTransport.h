#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace kf {

// One serial line on a POSIX system, owning its descriptor outright: non-blocking, raw 8N1 at
// a fixed speed without flow control, held exclusively with flock and TIOCEXCL. Exclusivity
// lives on the descriptor alone, so it ends the moment the descriptor is closed: no lock file
// can outlive the device and stand in the way of the next device that gets its name (a USB
// adapter pulled and put back, a pseudo-terminal number used again).
//
// Nothing here blocks. What the driver does not take at once waits in the transport's own
// queue and goes out as the line takes it, through a write notifier while the event loop runs
// or at the next look(). Input is read into a buffer of a fixed size; beyond it characters
// stay in the driver. A line whose device vanished (hang-up, EIO) is Lost from then on.
class PosixSerialTransport : public QObject {
    Q_OBJECT
  public:
    enum class State { Closed, Open, Lost };
    // Why an open failed; the owner decides what to tell the user.
    enum class OpenError { None, NoDevice, NotPermitted, Busy, NotSerial, BadSpeed };

    explicit PosixSerialTransport(std::size_t inCapacity, QObject* parent = nullptr);
    ~PosixSerialTransport() override;
    PosixSerialTransport(const PosixSerialTransport&) = delete;
    PosixSerialTransport& operator=(const PosixSerialTransport&) = delete;

    OpenError open(const std::string& path, std::int32_t baudRate);
    // Closes at once; output still queued here or in the driver is dropped with it.
    void close();
    State state() const { return state_; }
    bool isOpen() const { return state_ == State::Open; }

    // Looks at the line once without waiting: takes in input, hands queued output on, notices
    // a hang-up. lookAll does the same for several lines with one system call.
    void look();
    static void lookAll(std::span<PosixSerialTransport* const> lines);

    // Writes what the driver takes now and queues the rest.
    void write(const char* data, std::size_t size);
    std::size_t queued() const { return out_.size(); }
    // Characters the driver holds but has not sent yet (TIOCOUTQ); 0 when it cannot say.
    std::int64_t driverQueue() const;
    // Drops what the driver holds, so closing does not wait for a reader that takes nothing.
    void discardDriverOutput();
    // Waits at most timeoutMs for room in the driver (want output) or for anything at all.
    void waitForLine(bool wantOutput, int timeoutMs);

    std::size_t available() const { return in_.size(); }
    std::string takeInput();

    int handle() const { return fd_; }
    // Whether the line is down now (the far end closed, the device gone), without reading.
    bool hungUp() const;

    // Told once when the event loop's notifiers, not a call of the owner, find the line lost.
    void setLostHandler(std::function<void()> handler) { onLost_ = std::move(handler); }

  private:
    void lookSeen(short revents);
    void readIn();
    void writeOut();
    void lose();
    void armNotifiers();
    void onNotifier();

    std::size_t inCapacity_;
    int fd_ = -1;
    State state_ = State::Closed;
    std::string in_;
    std::string out_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::function<void()> onLost_;
};

}  // namespace kf
