#include "avrsim/PtyBridge.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "boardsim/Pty.h"

namespace kf::avrsim {
namespace {

// Simulated time per slice: short against the 10 ms frames, long against a loop's overhead.
constexpr std::chrono::microseconds kSlice{500};

}  // namespace

PtyBridge::PtyBridge(AvrSim& sim, BridgeOptions options)
    : sim_(sim),
      options_(options),
      pty_(std::make_unique<boardsim::Pty>(!options.resetOnOpen)),
      opens_(options.resetOnOpen ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1),
      thread_([this] {
          if (opens_ >= 0) {
              ::inotify_add_watch(opens_, pty_->slavePath().c_str(), IN_OPEN);
          }
          run();
      }) {}

PtyBridge::~PtyBridge() {
    stop_ = true;
    thread_.join();
    if (opens_ >= 0) {
        ::close(opens_);
    }
}

bool PtyBridge::openedSince() {
    bool opened = false;
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while (opens_ >= 0 && (n = ::read(opens_, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            opened = opened || (event->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return opened;
}

const std::string& PtyBridge::slavePath() const {
    return pty_->slavePath();
}

void PtyBridge::withSim(const std::function<void(AvrSim&)>& fn) {
    std::lock_guard lock(mutex_);
    fn(sim_);
}

bool PtyBridge::waitFor(const std::function<bool(const AvrSim&)>& pred,
                        std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return sliced_.wait_for(lock, timeout, [&] { return pred(sim_); });
}

// The master reports a hangup while no one has the slave open.
bool PtyBridge::slaveOpen() const {
    pollfd p{pty_->masterFd(), POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void PtyBridge::run() {
    const int fd = pty_->masterFd();
    auto start = WallClock::now();
    std::uint64_t startCycle = sim_.cycle();
    std::string unsent;
    // Nobody has the slave open when the bridge starts: an open at any time after is a reset.
    bool wasOpen = !options_.resetOnOpen;
    while (!stop_) {
        if (options_.resetOnOpen) {
            // The hang-up alone misses a close and an open that fall between two looks (a
            // probe handing the port to the show); the kernel's open events do not.
            const bool open = slaveOpen();
            if (openedSince() || (open && !wasOpen)) {
                // Reset, then the bootloader's time, in which the line's bytes are lost; an
                // open meanwhile resets it again.
                do {
                    {
                        std::lock_guard lock(mutex_);
                        sim_.reset();
                    }
                    ++resets_;
                    unsent.clear();
                    const auto bootEnd = WallClock::now() + options_.bootTime;
                    while (!stop_ && WallClock::now() < bootEnd) {
                        char buf[512];
                        while (::read(fd, buf, sizeof buf) > 0) {
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                } while (!stop_ && openedSince());
                start = WallClock::now();
                startCycle = sim_.cycle();
            }
            wasOpen = slaveOpen();
        }
        std::uint64_t cycle;
        {
            std::lock_guard lock(mutex_);
            char buf[512];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                sim_.send(std::string_view(buf, static_cast<std::size_t>(n)));
            }
            if (!sim_.runFor(kSlice)) {
                stop_ = true;
            }
            unsent += sim_.takeOutput();
            cycle = sim_.cycle();
        }
        sliced_.notify_all();
        while (!unsent.empty()) {
            ssize_t n = ::write(fd, unsent.data(), unsent.size());
            if (n <= 0) {
                break;  // nobody reading; kept for later
            }
            unsent.erase(0, static_cast<std::size_t>(n));
        }
        // Keep simulated time level with the wall clock.
        const auto simulated =
            std::chrono::duration<double>(AvrSim::microseconds(cycle - startCycle) / 1e6);
        const auto ahead =
            start + std::chrono::duration_cast<WallClock::duration>(simulated) - WallClock::now();
        if (ahead > WallClock::duration::zero()) {
            std::this_thread::sleep_for(ahead);
        }
    }
}

}  // namespace kf::avrsim
