#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/PlaybackDelay.h"
#include "audio/PulseMainLoop.h"
#include "audio/PulseRecordStream.h"
#include "audio/PulseServer.h"
#include "audio/ReconnectPlan.h"
#include "audio/SampleRing.h"

struct pa_time_event;
struct pa_defer_event;

namespace modBass {

// Keeps the server connection and the record stream the way the reconnect plan wants them, on
// the capture thread: it reports to the plan what the server and the stream did, and carries
// out the plan's next steps, on every event and on a tick every 100 ms. While the server is
// away or the stream lost, the ring reads as silence. It also keeps the latency of the output
// being recorded: asked for when the stream starts or moves, when that output changes and every
// 200 ms.
//
// Every call with the loop's lock held, except lastDataNs() and outputLatency().
class CaptureSupervisor final : private PulseServer::Listener, private PulseRecordStream::Listener {
  public:
    // Gets every recorded fragment, on the capture thread; returning false ends the recording.
    class Recorder {
      public:
        virtual bool recorded(const void* data, std::uint32_t bytes) = 0;

      protected:
        ~Recorder() = default;
    };

    static constexpr std::chrono::milliseconds kTick{100};

    CaptureSupervisor(PulseMainLoop& loop, SampleRing& ring)
        : loop_(loop), ring_(ring), server_(loop, *this), stream_(loop, ring, *this) {}
    ~CaptureSupervisor() = default;  // end() first, while the loop runs
    CaptureSupervisor(const CaptureSupervisor&) = delete;
    CaptureSupervisor& operator=(const CaptureSupervisor&) = delete;

    // Starts supervising on a running loop, from a clean plan. source: the name of the source to
    // record, or empty for the monitor of the default output (followed when it changes).
    // Connecting starts with the next evaluate().
    void begin(const std::string& source);
    // Drops the stream and the server and stops supervising.
    void end();
    // Reports what happened and carries out what the plan asks for now.
    void evaluate();

    // Wants a recording: its fragments go to the recorder (may be nullptr) from now on.
    void startRecording(Recorder* recorder);
    void stopRecording();

    const detail::ReconnectPlan& plan() const { return plan_; }
    PulseServer& server() { return server_; }
    // The source asked for: the named one, or the monitor of the default output.
    const std::string& source() const { return follow() ? plan_.defaultMonitor() : source_; }
    unsigned follows() const { return follows_; }  // reconnections to a new default output
    std::int64_t lastDataNs() const { return stream_.lastDataNs(); }  // any thread
    // What the recording is for the delay: an output's monitor and its latency, or live. Any
    // thread.
    PlaybackDelay::Latency outputLatency() const;
    // How often the output's latency is asked for besides its change events: a deep buffer
    // fills within moments of playback starting.
    static constexpr int kLatencyTicks = 2;

  private:
    using Clock = detail::ReconnectPlan::Clock;
    friend struct SupervisorCallbacks;  // the tick and the kick, in the .cpp

    bool follow() const { return plan_.followsDefault(); }
    void observe(Clock::time_point now);
    void observeServer(Clock::time_point now);
    void observeStream(Clock::time_point now);
    void act(detail::ReconnectPlan::Step step, Clock::time_point now);
    void connectServer(Clock::time_point now);
    void loseServer(Clock::time_point now);
    void connectStream(Clock::time_point now);
    void loseStream(Clock::time_point now);
    void askDefaultMonitor();
    void askOutputLatency();
    void publishLatency(std::int64_t value) { latency_.store(value, std::memory_order_release); }
    void kick();

    // PulseServer::Listener
    void serverStateChanged() override { kick(); }
    void serverChanged() override { askDefaultMonitor(); }
    void defaultOutputIs(const PulseServer::DefaultOutput& output) override;
    void outputLatencyIs(bool monitor, std::uint64_t us) override;
    void outputChanged() override { askOutputLatency(); }
    // PulseRecordStream::Listener
    void streamStateChanged() override { kick(); }
    void streamMoved(const std::string& device) override;
    void fragmentRecorded(const void* data, std::size_t bytes) override;

    PulseMainLoop& loop_;
    SampleRing& ring_;
    PulseServer server_;
    PulseRecordStream stream_;
    detail::ReconnectPlan plan_;
    std::string source_;
    pa_time_event* tick_ = nullptr;
    pa_defer_event* kick_ = nullptr;
    bool active_ = false;
    Recorder* recorder_ = nullptr;
    bool stopRequested_ = false;
    unsigned follows_ = 0;
    int ticksToLatency_ = 0;
    // Microseconds of the recorded output's latency, or one of the two below.
    static constexpr std::int64_t kUnknown = -1;
    static constexpr std::int64_t kLive = -2;
    static constexpr std::int64_t kQuietNs = 100'000'000;  // no fragment for this long: nothing
    std::atomic<std::int64_t> latency_{kUnknown};
};

}  // namespace modBass
