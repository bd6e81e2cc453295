#include "testkit/SignalPlayer.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <vector>

namespace kftest {

SignalPlayer::SignalPlayer(Signal signal, Options options)
    : signal_(std::move(signal)), options_(std::move(options)) {
    thread_ = std::thread([this] { run(); });
}

void SignalPlayer::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::optional<SignalPlayer::Clock::time_point> SignalPlayer::waitStarted(
    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!started_ && !failed_ && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!started_) {
        return std::nullopt;
    }
    return Clock::time_point(Clock::duration(firstWrite_.load()));
}

bool SignalPlayer::waitFinished() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return finished_ && !failed_;
}

std::string SignalPlayer::error() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

void SignalPlayer::fail(int err) {
    {
        std::lock_guard lock(errorMutex_);
        error_ = pa_strerror(err);
    }
    failed_ = true;
}

void SignalPlayer::run() {
    constexpr std::uint32_t kFrameBytes = 8;
    constexpr int kBlock = 441;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, 2};
    const bool steady = options_.buffer == Buffer::Steady;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = kBlock * (steady ? 15 : 3) * kFrameBytes;
    attr.prebuf = kBlock * (steady ? 5 : 1) * kFrameBytes;
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int err = 0;
    pa_simple* s =
        pa_simple_new(options_.server ? options_.server->c_str() : nullptr, "kf-test",
                      PA_STREAM_PLAYBACK, options_.sink.empty() ? nullptr : options_.sink.c_str(),
                      options_.name.c_str(), &format, nullptr, &attr, &err);
    if (s == nullptr) {
        fail(err);
        return;
    }
    std::vector<float> block(2 * kBlock);
    long long n = 0;
    while (!stop_ && (!options_.length || n < *options_.length)) {
        const long long first = n;
        for (int i = 0; i < kBlock; ++i, ++n) {
            auto [l, r] = signal_(n);
            block[2 * static_cast<std::size_t>(i)] = l;
            block[2 * static_cast<std::size_t>(i) + 1] = r;
        }
        if (!started_) {
            firstWrite_ = Clock::now().time_since_epoch().count();
        }
        if (pa_simple_write(s, block.data(), block.size() * sizeof(float), &err) < 0) {
            fail(err);
            break;
        }
        if (options_.written) {
            options_.written(first, Clock::now());
        }
        played_ = n;
        started_ = true;
    }
    if (options_.length && !failed_ && !stop_) {
        if (pa_simple_drain(s, &err) < 0) {
            fail(err);
        } else {
            finished_ = true;
        }
    }
    pa_simple_free(s);
}

bool playBursts(const BurstPlan& plan, std::string& error) {
    SignalPlayer player(toneBursts(plan),
                        SignalPlayer::Options::timing("tone bursts", lengthOf(plan)));
    if (!player.waitFinished()) {
        error = player.error();
        return false;
    }
    return true;
}

}  // namespace kftest
