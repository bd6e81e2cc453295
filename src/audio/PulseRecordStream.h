#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/PulseMainLoop.h"
#include "audio/SampleRing.h"

struct pa_context;
struct pa_stream;

namespace modBass {

// The record stream: float32 stereo at 44100 Hz from one source of the server, in fragments of
// about 10 ms, written into the ring as they arrive. Every call with the loop's lock held,
// except lastDataNs(); the listener is called on the capture thread, lock held. Nothing is
// reported from a dropped stream.
class PulseRecordStream {
  public:
    static constexpr std::uint32_t kRate = 44100;
    static constexpr std::uint32_t kChannels = 2;
    static constexpr std::uint32_t kFrameBytes = kChannels * sizeof(float);
    static constexpr std::uint32_t kFragmentBytes = 441 * kFrameBytes;  // 10 ms

    enum class State { None, Connecting, Ready, Failed };

    class Listener {
      public:
        virtual void streamStateChanged() = 0;
        // The server moved the stream to another source.
        virtual void streamMoved(const std::string& device) = 0;
        // A fragment is in the ring; data is nullptr for a hole in the recording.
        virtual void fragmentRecorded(const void* data, std::size_t bytes) = 0;

      protected:
        ~Listener() = default;
    };

    PulseRecordStream(PulseMainLoop& loop, SampleRing& ring, Listener& listener)
        : loop_(loop), ring_(ring), listener_(listener) {}
    ~PulseRecordStream() = default;  // drop() first, while the loop runs
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Starts recording the source of that real name on a ready context (a previous stream is
    // dropped); false when that failed at once.
    bool connect(pa_context* ctx, const std::string& source);
    void drop();
    State state() const;
    // The source actually recorded; empty without a stream.
    std::string device() const;

    // Steady clock, in nanoseconds, of the newest fragment; 0 when none since forgetData().
    // Any thread.
    std::int64_t lastDataNs() const { return lastDataNs_.load(std::memory_order_acquire); }
    // The clock of lastDataNs(): the steady clock now, in nanoseconds.
    static std::int64_t steadyNs() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void forgetData() { lastDataNs_.store(0, std::memory_order_release); }

  private:
    friend struct StreamCallbacks;  // the C callbacks, in the .cpp

    void readAll(pa_stream* s);

    PulseMainLoop& loop_;
    SampleRing& ring_;
    Listener& listener_;
    pa_stream* stream_ = nullptr;
    std::atomic<std::int64_t> lastDataNs_{0};
};

}  // namespace modBass
