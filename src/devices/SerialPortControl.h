#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "devices/ComPorts.h"
#include "devices/PosixSerialTransport.h"

namespace kf {

// The serial-port control the boards are driven through: CommPort, PortOpen, Output, Input and
// InBufferCount, over the system's serial transport. Line settings are fixed at construction (8N1,
// no flow control). Output never blocks and never splits a write: the output buffer holds 512
// characters and a write that does not fit is dropped whole and counted; every frame re-sends
// the full state, so the next frame repairs it. A port that fails (unplugged) reads
// PortOpen false from then on and tells its owner once through the failure callback.
class SerialPortControl : public QObject {
    Q_OBJECT
  public:
    static constexpr int kOutBufferSize = 512;
    static constexpr int kInBufferSize = 1024;

    SerialPortControl(const ComPorts& ports, std::int32_t baudRate, QObject* parent = nullptr);
    ~SerialPortControl() override;

    void setCommPort(std::int16_t n);
    std::int16_t CommPort() const { return commPort_; }
    // Opening returns false (and PortOpen stays false) when the device cannot be opened or
    // another program holds it; opening again after a failure tries the device afresh.
    // Closing first sends what Output was given, waiting at most kCloseWaitMs.
    bool setPortOpen(bool open);
    bool PortOpen() const;
    void Output(const std::string& text);
    // Input returns at most kInBufferSize characters; more stay in the driver for the next call.
    // Input and InBufferCount read from the driver themselves, so polling them works without
    // the event loop running.
    std::string Input();
    // Between holdOutput and releaseOutput, Output only collects: a frame's commands then go
    // to the driver in one write instead of one each (the bytes on the line are the same).
    // The batch looks at the line once, when it begins: PortOpen, Input, InBufferCount and
    // unsentOutput inside it work on that look, so a frame costs one poll of the port rather
    // than one per call.
    void holdOutput();
    void releaseOutput();
    // holdOutput on each of the ports, looking at all their lines with one poll.
    static void holdOutputs(std::span<SerialPortControl* const> ports);
    int InBufferCount();

    std::int32_t baudRate() const { return baudRate_; }
    std::string devicePath() const;
    // Characters given to Output but not yet on the line: ours plus the driver's queue.
    std::int64_t unsentOutput();
    // What the line cannot have carried yet: unsentOutput(), or, when more, what its speed
    // allows since the output was given (10 bits a character). A pseudo-terminal (ser2net,
    // socat) reports no queue while its buffer holds kilobytes, and a slow reader behind it
    // would otherwise fall seconds behind; frames are skipped on this.
    std::int64_t lineBacklog();
    std::uint64_t droppedWrites() const { return droppedWrites_; }
    bool failed() const { return failed_; }
    // Why the last setPortOpen(true) failed, None after one that succeeded.
    PosixSerialTransport::OpenError openError() const { return openError_; }
    void setFailureHandler(std::function<void()> handler) { onFailure_ = std::move(handler); }
    // Told the device's path whenever an open fails because the user may not open it.
    using RefusedHandler = std::function<void(const std::string& path)>;
    void setRefusedHandler(RefusedHandler handler) { onRefused_ = std::move(handler); }
    // How the driver's output queue is read: TIOCOUTQ on the port's handle unless replaced
    // (tests stand in for a slow UART whose queue a pseudo-terminal does not report).
    using QueueProbe = std::function<std::int64_t(int handle)>;
    void setDriverQueueProbe(QueueProbe probe) { queueProbe_ = std::move(probe); }

    // How long closing waits for output still queued before it gives up on the rest.
    static constexpr int kCloseWaitMs = 200;

  private:
    // Marks the port failed: PortOpen reads false from here on. The port is closed and the
    // owner told by settle().
    void fail();
    void settle();
    // A line the transport found lost fails the port.
    void noteLine();
    // Moves data between the driver and the transport's buffers without waiting, so the
    // control works whether or not the event loop runs; notices a hung-up line.
    void pump();
    bool pumpable() const { return line_.isOpen() && !failed_ && !looked_; }
    // Open and not failed, as a pump has just seen it (PortOpen also asks the line).
    bool usable() const { return line_.isOpen() && !failed_; }
    bool hungUp() const;
    std::size_t unsentHere() const;  // the batch and the transport's queue
    void sendBatch();
    void send(const char* data, std::size_t size);
    // Counts characters against the line's speed; pacedBacklog is what it has not carried yet.
    void pace(std::size_t characters);
    std::int64_t pacedBacklog() const;
    void drainAndClose();

    const ComPorts& ports_;
    std::int32_t baudRate_;
    std::int16_t commPort_ = 0;
    PosixSerialTransport line_{kInBufferSize};
    PosixSerialTransport::OpenError openError_ = PosixSerialTransport::OpenError::None;
    bool failed_ = false;
    std::uint64_t droppedWrites_ = 0;
    std::function<void()> onFailure_;
    RefusedHandler onRefused_;
    QueueProbe queueProbe_;
    bool failureReported_ = false;
    int held_ = 0;         // > 0 inside a batch of Output calls
    bool looked_ = false;  // the batch has pumped once; further pumps in it are skipped
    std::string batch_;    // the batch's output, not yet handed on
    std::chrono::steady_clock::time_point lineFreeAt_{};  // when the line has carried it all
};

}  // namespace kf
