#include "audio/CaptureSupervisor.h"

#include <algorithm>

namespace modBass {

using Link = detail::ReconnectPlan::Link;
using Step = detail::ReconnectPlan::Step;

// The tick and the kick; each runs on the capture thread with the loop's lock held.
struct SupervisorCallbacks {
    static void tick(pa_mainloop_api*, pa_time_event* e, const timeval*, void* p) {
        auto* self = static_cast<CaptureSupervisor*>(p);
        self->evaluate();
        if (--self->ticksToLatency_ <= 0) {
            self->askOutputLatency();
        }
        self->loop_.restartTimer(e, CaptureSupervisor::kTick);
    }

    static void kicked(pa_mainloop_api*, pa_defer_event* e, void* p) {
        auto* self = static_cast<CaptureSupervisor*>(p);
        self->loop_.enableDeferred(e, false);
        self->evaluate();
    }
};

void CaptureSupervisor::begin(const std::string& source) {
    source_ = source;
    plan_ = detail::ReconnectPlan(source_.empty());
    ring_.clear();
    stream_.forgetData();
    follows_ = 0;
    publishLatency(kUnknown);
    recorder_ = nullptr;
    stopRequested_ = false;
    active_ = true;
    kick_ = loop_.newDeferred(&SupervisorCallbacks::kicked, this);
    tick_ = loop_.newTimer(kTick, &SupervisorCallbacks::tick, this);
}

void CaptureSupervisor::end() {
    active_ = false;
    stream_.drop();
    server_.drop();
    loop_.freeTimer(tick_);
    loop_.freeDeferred(kick_);
    recorder_ = nullptr;
    stopRequested_ = false;
    plan_ = detail::ReconnectPlan(true);
    ring_.clear();
    stream_.forgetData();
}

void CaptureSupervisor::evaluate() {
    if (!active_) {
        return;
    }
    const auto now = Clock::now();
    observe(now);
    // A few steps at most: e.g. a failed connect reports the loss and then waits for the retry.
    for (int i = 0; i < 4; ++i) {
        const auto step = plan_.next(now);
        if (step == Step::None) {
            break;
        }
        act(step, now);
    }
    loop_.signal();
}

void CaptureSupervisor::startRecording(Recorder* recorder) {
    recorder_ = recorder;
    stopRequested_ = false;
    plan_.setRecording(true);
    evaluate();
}

void CaptureSupervisor::stopRecording() {
    plan_.setRecording(false);
    stream_.drop();
    recorder_ = nullptr;
}

void CaptureSupervisor::observe(Clock::time_point now) {
    observeServer(now);
    observeStream(now);
    if (stopRequested_) {
        // The recorder asked to stop.
        stopRequested_ = false;
        stopRecording();
    }
}

void CaptureSupervisor::observeServer(Clock::time_point now) {
    switch (server_.state()) {
        case PulseServer::State::Failed:
            loseServer(now);
            break;
        case PulseServer::State::Ready:
            if (plan_.server() == Link::Connecting) {
                plan_.serverUp();
                server_.watchChanges();
                askDefaultMonitor();
            }
            break;
        case PulseServer::State::None:
        case PulseServer::State::Connecting:
            break;
    }
}

void CaptureSupervisor::observeStream(Clock::time_point now) {
    switch (stream_.state()) {
        case PulseRecordStream::State::Failed:
            loseStream(now);
            break;
        case PulseRecordStream::State::Ready:
            if (plan_.stream() == Link::Connecting) {
                plan_.streamUp(stream_.device());
                askOutputLatency();
            }
            break;
        case PulseRecordStream::State::None:
        case PulseRecordStream::State::Connecting:
            break;
    }
}

void CaptureSupervisor::act(Step step, Clock::time_point now) {
    switch (step) {
        case Step::None:
            break;
        case Step::ConnectServer:
            connectServer(now);
            break;
        case Step::AbandonServer:
            loseServer(now);
            break;
        case Step::ConnectStream:
            connectStream(now);
            break;
        case Step::AbandonStream:
            loseStream(now);
            break;
        case Step::FollowDefault:
            ++follows_;
            connectStream(now);
            break;
    }
}

void CaptureSupervisor::connectServer(Clock::time_point now) {
    plan_.serverConnecting(now);
    if (!server_.connect("KleurFlits Stereo")) {
        loseServer(now);
    }
}

void CaptureSupervisor::loseServer(Clock::time_point now) {
    stream_.drop();
    server_.drop();
    ring_.clear();
    stream_.forgetData();
    plan_.serverLost(now);
}

void CaptureSupervisor::connectStream(Clock::time_point now) {
    stream_.drop();
    publishLatency(kUnknown);
    plan_.streamConnecting(now);
    const std::string target = source();
    if (server_.state() != PulseServer::State::Ready || target.empty() ||
        !stream_.connect(server_.context(), target)) {
        plan_.streamLost(now);
    }
}

void CaptureSupervisor::loseStream(Clock::time_point now) {
    stream_.drop();
    ring_.clear();  // no frozen spectrum from a source that went away
    plan_.streamLost(now);
}

void CaptureSupervisor::askDefaultMonitor() {
    if (follow()) {
        server_.askDefaultOutput();
    }
}

void CaptureSupervisor::kick() {
    if (kick_ != nullptr && active_) {
        loop_.enableDeferred(kick_, true);
    }
}

void CaptureSupervisor::defaultOutputIs(const PulseServer::DefaultOutput& output) {
    plan_.defaultMonitorIs(output.monitor);
    kick();
}

void CaptureSupervisor::streamMoved(const std::string& device) {
    plan_.streamMoved(device);
    askOutputLatency();  // the user may have picked another output's monitor, or a microphone
    kick();
}

void CaptureSupervisor::askOutputLatency() {
    ticksToLatency_ = kLatencyTicks;
    if (!follow()) {
        publishLatency(kLive);  // a source named by the user is a microphone or a line input
        return;
    }
    if (plan_.stream() == Link::Up) {
        server_.askOutputLatency(stream_.device());
    }
}

void CaptureSupervisor::outputLatencyIs(bool monitor, std::uint64_t us) {
    if (!active_ || plan_.stream() != Link::Up) {
        return;  // an answer about a stream that is gone
    }
    // An output whose monitor delivers nothing is heard by nobody: a null sink that rendered
    // up to 2 s ahead before the recording asked for less reports that lead while it drains.
    const std::int64_t last = stream_.lastDataNs();
    if (monitor && (last == 0 || PulseRecordStream::steadyNs() - last > kQuietNs)) {
        return;
    }
    publishLatency(monitor ? static_cast<std::int64_t>(std::min<std::uint64_t>(us, 60000000))
                           : kLive);
}

PlaybackDelay::Latency CaptureSupervisor::outputLatency() const {
    using Kind = PlaybackDelay::Latency::Kind;
    const std::int64_t value = latency_.load(std::memory_order_acquire);
    if (value == kUnknown) {
        return {Kind::Unknown, 0};
    }
    if (value == kLive) {
        return {Kind::Live, 0};
    }
    return {Kind::Output, value};
}

void CaptureSupervisor::fragmentRecorded(const void* data, std::size_t bytes) {
    if (data == nullptr || recorder_ == nullptr || stopRequested_) {
        return;
    }
    if (!recorder_->recorded(data, static_cast<std::uint32_t>(bytes))) {
        stopRequested_ = true;  // evaluate() drops the stream, not from inside its callback
        kick();
    }
}

}  // namespace modBass
