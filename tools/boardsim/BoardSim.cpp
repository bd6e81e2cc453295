#include "boardsim/BoardSim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace kf::boardsim {
namespace {

// How often a closed line is looked at again: the latency of seeing the program open the
// port.
constexpr int kHangupRecheckMs = 5;
constexpr int kIdlePollMs = 200;

}  // namespace

class BoardSim::LineLink : public Link {
  public:
    explicit LineLink(BoardSim& sim) : sim_(sim) {}
    void send(std::string_view bytes) override { sim_.sendLocked(bytes); }
    void flag(std::string violation) override { sim_.flagLocked(std::move(violation)); }
    Clock::time_point now() const override { return sim_.eventTime_; }

  private:
    BoardSim& sim_;
};

BoardSim::BoardSim(std::unique_ptr<Board> board, SimOptions options)
    : options_(options),
      start_(Clock::now()),
      board_(std::move(board)),
      pty_(options.adoptMaster >= 0 ? Pty(options.adoptMaster, options.adoptedName)
                                    : Pty(options.keepSlaveOpen)),
      eventTime_(start_) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

BoardSim::~BoardSim() {
    stop();
    close(wakeRead_);
    close(wakeWrite_);
}

void BoardSim::stop() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    char byte = 0;
    [[maybe_unused]] auto n = write(wakeWrite_, &byte, 1);
    thread_.join();
}

void BoardSim::run(std::stop_token stop) {
    bool open = false;
    if (pty_.keepsSlaveOpen()) {
        handleOpened();
        open = true;
    }
    auto interval = board_->tickInterval();
    auto nextTick = Clock::now() + interval;
    pollfd fds[2] = {{pty_.masterFd(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    while (!stop.stop_requested()) {
        // A closed line is looked at often: a program that opens the port and writes nothing
        // yet must still show as connected promptly.
        int timeoutMs = open ? kIdlePollMs : kHangupRecheckMs;
        if (open && interval.count() > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, kIdlePollMs));
        }
        fds[0].revents = fds[1].revents = 0;
        if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
            std::lock_guard lock(mutex_);
            flagLocked(std::string("simulator: poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        bool hangup = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
        const bool wasOpen = open;
        if ((fds[0].revents & POLLIN) != 0) {
            drain(open);
        }
        if (hangup) {
            // The hangup poll() reported may be old news: the program can have opened the
            // port again, and written to it, before the bytes were read. Only a line that is
            // still hung up after the last bytes are read is closed now.
            hangup = hungUp();
            if (hangup) {
                drain(open);  // bytes written just before the close
                hangup = hungUp();
            }
            if (!hangup && wasOpen) {
                handleMissedReopen();
            }
        }
        if (!hangup && !open) {
            handleOpened();
            open = true;
        } else if (hangup && open) {
            handleClosed();
            open = false;
        }
        if (hangup) {
            pollfd wake{wakeRead_, POLLIN, 0};
            poll(&wake, 1, kHangupRecheckMs);
            continue;
        }
        if (open && interval.count() > 0 && Clock::now() >= nextTick) {
            handleTick();
            // No catching up after a stall: the board never bursts above its rate.
            nextTick = std::max(nextTick + interval, Clock::now());
        }
    }
}

bool BoardSim::drain(bool& open) {
    bool any = false;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(pty_.masterFd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // EAGAIN: nothing more; EIO: no slave open and nothing left
        }
        if (!open) {
            // Opened, written and closed between two looks: still an open for the board.
            handleOpened();
            open = true;
        }
        any = true;
        std::lock_guard lock(mutex_);
        eventTime_ = Clock::now();
        std::string_view bytes(buffer, static_cast<std::size_t>(n));
        received_.append(bytes);
        chunks_.push_back({eventTime_, std::string(bytes)});
        LineLink link(*this);
        board_->received(bytes, link);
        changed_.notify_all();
    }
    return any;
}

void BoardSim::handleOpened() {
    std::lock_guard lock(mutex_);
    eventTime_ = Clock::now();
    ++opens_;
    open_ = true;
    LineLink link(*this);
    board_->opened(link);
    changed_.notify_all();
}

void BoardSim::handleClosed() {
    std::lock_guard lock(mutex_);
    eventTime_ = Clock::now();
    ++closes_;
    open_ = false;
    LineLink link(*this);
    board_->closed(link);
    changed_.notify_all();
}

bool BoardSim::hungUp() const {
    pollfd line{pty_.masterFd(), 0, 0};
    return poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR)) != 0;
}

void BoardSim::handleMissedReopen() {
    // Closed and opened again between two looks. Where one session's bytes end and the
    // next one's begin is not known, so the board goes on as it was; only the counts move.
    std::lock_guard lock(mutex_);
    eventTime_ = Clock::now();
    ++closes_;
    ++opens_;
    changed_.notify_all();
}

void BoardSim::handleTick() {
    std::lock_guard lock(mutex_);
    eventTime_ = Clock::now();
    LineLink link(*this);
    board_->tick(link);
    changed_.notify_all();
}

void BoardSim::sendLocked(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(pty_.masterFd(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the program is not reading and the pty is full: like a UART, drop
        }
        std::string_view done = bytes.substr(0, static_cast<std::size_t>(n));
        if (sent_.size() < options_.sentKept) {
            sent_.append(done.substr(0, options_.sentKept - sent_.size()));
        }
        sentCount_ += done.size();
        bytes.remove_prefix(done.size());
    }
}

void BoardSim::flagLocked(std::string violation) {
    ++violationCount_;
    if (violations_.size() < options_.violationsKept) {
        violations_.push_back(std::move(violation));
    }
}

std::string BoardSim::received() const {
    return withLock([&] { return received_; });
}
std::size_t BoardSim::receivedCount() const {
    return withLock([&] { return received_.size(); });
}
std::vector<Chunk> BoardSim::chunks(std::size_t from) const {
    return withLock([&] {
        from = std::min(from, chunks_.size());
        return std::vector<Chunk>(chunks_.begin() + static_cast<std::ptrdiff_t>(from),
                                  chunks_.end());
    });
}
std::size_t BoardSim::chunkCount() const {
    return withLock([&] { return chunks_.size(); });
}
std::string BoardSim::sent() const {
    return withLock([&] { return sent_; });
}
std::size_t BoardSim::sentCount() const {
    return withLock([&] { return sentCount_; });
}
std::vector<std::string> BoardSim::violations() const {
    return withLock([&] { return violations_; });
}
std::size_t BoardSim::violationCount() const {
    return withLock([&] { return violationCount_; });
}
int BoardSim::openCount() const {
    return withLock([&] { return opens_; });
}
int BoardSim::closeCount() const {
    return withLock([&] { return closes_; });
}
bool BoardSim::programHasOpen() const {
    return withLock([&] { return open_; });
}
std::string BoardSim::summary() const {
    return withLock([&] { return board_->summary(); });
}

bool BoardSim::waitForReceived(std::size_t bytes, Clock::duration timeout) const {
    return waitLocked([&] { return received_.size() >= bytes; }, timeout);
}
bool BoardSim::waitForSent(std::size_t bytes, Clock::duration timeout) const {
    return waitLocked([&] { return sentCount_ >= bytes; }, timeout);
}
bool BoardSim::waitForViolations(std::size_t count, Clock::duration timeout) const {
    return waitLocked([&] { return violationCount_ >= count; }, timeout);
}
bool BoardSim::waitForOpenCount(int opens, Clock::duration timeout) const {
    return waitLocked([&] { return opens_ >= opens; }, timeout);
}
bool BoardSim::waitForCloseCount(int closes, Clock::duration timeout) const {
    return waitLocked([&] { return closes_ >= closes; }, timeout);
}

}  // namespace kf::boardsim
