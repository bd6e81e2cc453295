#pragma once
// Plays a signal into a sound server through its PulseAudio protocol, from a thread of its own,
// in blocks of 10 ms: the one player of the tests and the benchmarks.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "testkit/Signals.h"

namespace kftest {

class SignalPlayer {
  public:
    using Clock = std::chrono::steady_clock;

    enum class Buffer {
        // 150 ms: long enough that a busy machine never runs the playback dry (an underrun
        // is a click, and a click lights every band).
        Steady,
        // 30 ms, playing after 10 ms: the sound reaches the sink at once, for timing.
        Short,
    };
    struct Options {
        std::optional<std::string> server;  // none: PULSE_SERVER or the client configuration
        std::string sink;                   // empty: the default output
        Buffer buffer = Buffer::Steady;
        std::string name = "test signal";
        // The player stops by itself after this many samples, and lets them play out.
        std::optional<long long> length;
        // Called on the player's thread after each block went to the server, with the index
        // of its first sample.
        std::function<void(long long first, Clock::time_point written)> written;

        // The short buffer, for timing; with a length, a signal that ends.
        static Options timing(std::string name, std::optional<long long> length = std::nullopt) {
            Options o;
            o.buffer = Buffer::Short;
            o.name = std::move(name);
            o.length = length;
            return o;
        }
        static Options into(std::optional<std::string> server) {
            Options o;
            o.server = std::move(server);
            return o;
        }
    };

    explicit SignalPlayer(Signal signal) : SignalPlayer(std::move(signal), Options{}) {}
    SignalPlayer(Signal signal, Options options);
    // The e2e tests' shape: a signal into the given server.
    SignalPlayer(Signal signal, std::optional<std::string> server)
        : SignalPlayer(std::move(signal), Options::into(std::move(server))) {}
    ~SignalPlayer() { stop(); }
    SignalPlayer(const SignalPlayer&) = delete;
    SignalPlayer& operator=(const SignalPlayer&) = delete;

    void stop();
    // Waits until the first block went to the server; returns when that was, none when
    // playing failed or did not start in time.
    std::optional<Clock::time_point> waitStarted(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // With a length: waits until every sample has played out. False when playing failed.
    bool waitFinished();
    bool failed() const { return failed_; }
    std::string error() const;
    // Samples handed to the server so far.
    long long played() const { return played_; }

  private:
    void run();
    void fail(int err);

    Signal signal_;
    Options options_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> finished_{false};
    std::atomic<Clock::rep> firstWrite_{0};
    std::atomic<long long> played_{0};
    mutable std::mutex errorMutex_;
    std::string error_;
    std::thread thread_;
};

// A tone at a bin's centre from its first sample, into the sink (the default output when
// empty), with the short buffer: for tests that time its arrival.
class TonePlayer : public SignalPlayer {
  public:
    TonePlayer(int bin, float left, float right, std::string sink = {})
        : SignalPlayer(sineAtBin(bin, left, right, false), toneInto(std::move(sink))) {}

  private:
    static Options toneInto(std::string sink) {
        Options o = Options::timing("tone");
        o.sink = std::move(sink);
        return o;
    }
};

// The bursts into the default output with the short buffer; returns once they have played out.
bool playBursts(const BurstPlan& plan, std::string& error);

}  // namespace kftest
