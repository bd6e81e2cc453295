#include "testkit/FifoSpeaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "testkit/PulseControl.h"

namespace kftest {

namespace {

constexpr int kRate = 44100;
constexpr int kFrameBytes = 2 * static_cast<int>(sizeof(float));

}  // namespace

FifoSpeaker::FifoSpeaker(float threshold, std::chrono::milliseconds quiet)
    : threshold_(threshold), quiet_(quiet) {
    char tmpl[] = "/tmp/kf-speaker.XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    dir_ = d != nullptr ? d : "";
}

FifoSpeaker::~FifoSpeaker() {
    stop();
    if (!dir_.empty()) {
        ::unlink((dir_ + "/fifo").c_str());
        ::rmdir(dir_.c_str());
    }
}

bool FifoSpeaker::start(const std::string& server, const std::string& sink, std::string& error) {
    if (dir_.empty()) {
        error = "no folder for the FIFO";
        return false;
    }
    const std::string fifo = dir_ + "/fifo";
    PulseControl control(server.c_str());
    if (!control.ok()) {
        error = "the server " + server + " does not answer";
        return false;
    }
    if (!control.loadModule("module-pipe-sink", "sink_name=" + sink + " file=" + fifo +
                                                    " format=float32le rate=44100 channels=2")) {
        error = "the server refused module-pipe-sink";
        return false;
    }
    // The sink holds the FIFO open for writing, so this open does not wait for it.
    fd_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = "cannot open " + fifo + ": " + std::strerror(errno);
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void FifoSpeaker::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::vector<FifoSpeaker::Clock::time_point> FifoSpeaker::onsets() const {
    std::lock_guard lock(mutex_);
    return onsets_;
}

void FifoSpeaker::clear() {
    std::lock_guard lock(mutex_);
    onsets_.clear();
}

void FifoSpeaker::run() {
    std::vector<float> block(2 * kRate / 10);  // at most 100 ms a read
    // The speaker's clock: frame f is played at origin + f / kRate. A dry FIFO moves the
    // origin on by the silence played instead.
    Clock::time_point origin = Clock::now();
    long long played = 0;
    std::optional<Clock::time_point> lastLoud;
    auto frameTime = [&](long long f) {
        return origin + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(f) / kRate));
    };
    while (!stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const double elapsed = std::chrono::duration<double>(Clock::now() - origin).count();
        long long due = static_cast<long long>(elapsed * kRate) - played;
        while (due > 0 && !stop_) {
            const long long want =
                std::min<long long>(due, static_cast<long long>(block.size() / 2));
            const ssize_t got =
                ::read(fd_, block.data(), static_cast<std::size_t>(want) * kFrameBytes);
            const long long frames = got > 0 ? got / kFrameBytes : 0;
            for (long long i = 0; i < frames; ++i) {
                if (std::fabs(block[2 * i]) > threshold_ ||
                    std::fabs(block[2 * i + 1]) > threshold_) {
                    const auto t = frameTime(played + i);
                    if (!lastLoud || t - *lastLoud > quiet_) {
                        std::lock_guard lock(mutex_);
                        onsets_.push_back(t);
                    }
                    lastLoud = t;
                }
            }
            played += frames;
            due -= frames;
            if (frames < want) {
                // Dry: the rest of what was due is played as silence.
                origin += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(static_cast<double>(due) / kRate));
                due = 0;
            }
        }
        played_ = played;
    }
}

}  // namespace kftest
