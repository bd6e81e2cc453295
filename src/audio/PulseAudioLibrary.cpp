#include "audio/PulseAudioLibrary.h"

#include <pulse/pulseaudio.h>

#include <cstdlib>
#include <cstring>

namespace modBass {

// ---------------------------------------------------------------------------------------------
// Helpers

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kFrameBytes = kChannels * sizeof(float);
constexpr std::uint32_t kFragmentBytes = 441 * kFrameBytes;  // 10 ms

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A one-shot or periodic timer on the mainloop, `ms` from now.
pa_time_event* newTimer(pa_mainloop_api* api, std::chrono::milliseconds ms, pa_time_event_cb_t cb,
                        void* userdata) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, static_cast<pa_usec_t>(ms.count()) * PA_USEC_PER_MSEC);
    return api->time_new(api, &tv, cb, userdata);
}

void restartTimer(pa_mainloop_api* api, pa_time_event* e, std::chrono::milliseconds ms) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, static_cast<pa_usec_t>(ms.count()) * PA_USEC_PER_MSEC);
    api->time_restart(e, &tv);
}

void unrefOperation(pa_operation* op) {
    if (op != nullptr) {
        pa_operation_unref(op);
    }
}

}  // namespace

// The C callbacks; each runs on the capture thread with the mainloop lock held.
struct PulseCallbacks {
    static PulseAudioLibrary* self(void* p) { return static_cast<PulseAudioLibrary*>(p); }

    static void contextState(pa_context* c, void* p) {
        auto* lib = self(p);
        if (c == lib->ctx_) {
            lib->kick();
        }
        pa_threaded_mainloop_signal(lib->ml_, 0);
    }

    static void subscribe(pa_context* c, pa_subscription_event_type_t t, std::uint32_t, void* p) {
        auto* lib = self(p);
        if (c != lib->ctx_) {
            return;
        }
        // A new default output is a server change, on PulseAudio and pipewire-pulse alike.
        if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
            lib->queryDefaultMonitor();
        }
    }

    static void serverInfo(pa_context* c, const pa_server_info* info, void* p) {
        auto* lib = self(p);
        if (c != lib->ctx_) {
            return;
        }
        if (info == nullptr || info->default_sink_name == nullptr ||
            info->default_sink_name[0] == '\0') {
            lib->monitorAnswer("");  // the server has no output
            return;
        }
        pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name,
                                                            &PulseCallbacks::sinkInfo, p);
        if (op == nullptr) {
            lib->monitorAnswer("");
        }
        unrefOperation(op);
    }

    static void sinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* p) {
        auto* lib = self(p);
        if (c != lib->ctx_) {
            return;
        }
        if (eol == 0 && info != nullptr) {
            lib->monitorAnswer(info->monitor_source_name != nullptr ? info->monitor_source_name
                                                                    : "");
        } else if (eol < 0) {
            lib->monitorAnswer("");  // the default output vanished between the two questions
        }
    }

    static void sourceInfo(pa_context* c, const pa_source_info* info, int eol, void* p) {
        auto* lib = self(p);
        if (c != lib->ctx_) {
            return;
        }
        if (info != nullptr && eol == 0) {
            lib->sourceCheck_ = PulseAudioLibrary::SourceCheck::Found;
        } else if (lib->sourceCheck_ == PulseAudioLibrary::SourceCheck::Pending) {
            lib->sourceCheck_ =
                PulseAudioLibrary::SourceCheck::Missing;  // error, or end without info
        }
        pa_threaded_mainloop_signal(lib->ml_, 0);
    }

    static void streamState(pa_stream* s, void* p) {
        auto* lib = self(p);
        if (s == lib->stream_) {
            lib->kick();
        }
        pa_threaded_mainloop_signal(lib->ml_, 0);
    }

    static void streamRead(pa_stream* s, std::size_t bytes, void* p) {
        auto* lib = self(p);
        if (s == lib->stream_) {
            lib->onRead(s, bytes);
        }
    }

    static void streamMoved(pa_stream* s, void* p) {
        auto* lib = self(p);
        if (s != lib->stream_) {
            return;
        }
        const char* name = pa_stream_get_device_name(s);
        lib->plan_.streamMoved(name != nullptr ? name : "");
        lib->kick();
    }

    static void tick(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* p) {
        auto* lib = self(p);
        lib->evaluate();
        restartTimer(api, e, PulseAudioLibrary::kTick);
    }

    static void deferred(pa_mainloop_api* api, pa_defer_event* e, void* p) {
        api->defer_enable(e, 0);
        self(p)->evaluate();
    }
};

// ---------------------------------------------------------------------------------------------
// PulseAudioLibrary

PulseAudioLibrary::PulseAudioLibrary() = default;

PulseAudioLibrary::~PulseAudioLibrary() {
    try {
        teardown();
    } catch (...) {
    }
}

std::uint32_t PulseAudioLibrary::BASS_GetVersion() {
    return kVersion;
}

int PulseAudioLibrary::BASS_ErrorGetCode() {
    return lastError_.load();
}

bool PulseAudioLibrary::BASS_RecordInit(int device) {
    try {
        if (ml_ != nullptr) {
            lastError_ = BASS_ERROR_ALREADY;
            return false;
        }
        if (device != -1 && device != 0) {
            lastError_ = BASS_ERROR_DEVICE;
            return false;
        }
        if (!initLocked()) {
            teardown();
            return false;
        }
        lastError_ = BASS_OK;
        return true;
    } catch (...) {
        teardown();
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }
}

// Sets up the mainloop, connects to the server within the connect timeout and checks the source.
// On failure sets the error code; the caller tears down.
bool PulseAudioLibrary::initLocked() {
    const char* named = std::getenv("KLEURFLITS_AUDIO_SOURCE");
    source_ = (named != nullptr && named[0] != '\0') ? named : "";
    plan_ = detail::ReconnectPlan(source_.empty());
    ring_.clear();
    lastDataNs_ = 0;
    follows_ = 0;

    ml_ = pa_threaded_mainloop_new();
    if (ml_ == nullptr) {
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }
    pa_threaded_mainloop_set_name(ml_, "kf-capture");
    if (pa_threaded_mainloop_start(ml_) < 0) {
        pa_threaded_mainloop_free(ml_);
        ml_ = nullptr;
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }

    pa_threaded_mainloop_lock(ml_);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(ml_);
    active_ = true;
    kick_ = api->defer_new(api, &PulseCallbacks::deferred, this);
    api->defer_enable(kick_, 0);
    tick_ = newTimer(api, kTick, &PulseCallbacks::tick, this);

    const unsigned lossesBefore = plan_.serverLosses();
    evaluate();  // the plan starts with "connect the server"
    const bool up =
        waitLocked(detail::ReconnectPlan::kConnectTimeout + std::chrono::milliseconds(300),
                   [&] {
                       return plan_.server() == detail::ReconnectPlan::Link::Up ||
                              plan_.serverLosses() != lossesBefore;
                   }) &&
        plan_.server() == detail::ReconnectPlan::Link::Up;
    if (!up) {
        pa_threaded_mainloop_unlock(ml_);
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }

    if (plan_.followsDefault()) {
        // Connecting asked for the default output's monitor; wait for the answer.
        waitLocked(detail::ReconnectPlan::kConnectTimeout, [&] {
            return plan_.defaultMonitorKnown() || plan_.server() != detail::ReconnectPlan::Link::Up;
        });
        const bool answered =
            plan_.server() == detail::ReconnectPlan::Link::Up && plan_.defaultMonitorKnown();
        const bool found = answered && !plan_.defaultMonitor().empty();
        pa_threaded_mainloop_unlock(ml_);
        if (found) {
            return true;
        }
        // The server answered but has no output whose monitor could be recorded: no device.
        lastError_ = answered ? BASS_ERROR_DEVICE : BASS_ERROR_DRIVER;
        return false;
    }

    sourceCheck_ = SourceCheck::Pending;
    pa_operation* op = pa_context_get_source_info_by_name(ctx_, source_.c_str(),
                                                          &PulseCallbacks::sourceInfo, this);
    if (op == nullptr) {
        sourceCheck_ = SourceCheck::Missing;
    }
    unrefOperation(op);
    waitLocked(detail::ReconnectPlan::kConnectTimeout, [&] {
        return sourceCheck_ != SourceCheck::Pending ||
               plan_.server() != detail::ReconnectPlan::Link::Up;
    });
    const SourceCheck result = sourceCheck_;
    const bool serverStillUp = plan_.server() == detail::ReconnectPlan::Link::Up;
    pa_threaded_mainloop_unlock(ml_);

    if (result == SourceCheck::Found) {
        return true;
    }
    // No answer at all means no usable server; an answer without the source means no device.
    lastError_ =
        (result == SourceCheck::Missing && serverStillUp) ? BASS_ERROR_DEVICE : BASS_ERROR_DRIVER;
    return false;
}

HRECORD PulseAudioLibrary::BASS_RecordStart(std::uint32_t freq, std::uint32_t chans,
                                            std::uint32_t /*flags*/, RECORDPROC proc, void* user) {
    try {
        if (ml_ == nullptr) {
            lastError_ = BASS_ERROR_INIT;
            return 0;
        }
        if (freq != kRate || chans != kChannels) {
            lastError_ = BASS_ERROR_FORMAT;
            return 0;
        }
        pa_threaded_mainloop_lock(ml_);
        if (plan_.recording()) {
            pa_threaded_mainloop_unlock(ml_);
            lastError_ = BASS_ERROR_ALREADY;
            return 0;
        }
        proc_ = proc;
        user_ = user;
        handle_ = nextHandle_++;
        if (nextHandle_ == 0) {
            nextHandle_ = 1;
        }
        stopRequested_ = false;
        const unsigned streamLossesBefore = plan_.streamLosses();
        const unsigned serverLossesBefore = plan_.serverLosses();
        plan_.setRecording(true);
        evaluate();
        // Waits for the server too if it is reconnecting at this moment.
        const auto timeout =
            detail::ReconnectPlan::kConnectTimeout + std::chrono::milliseconds(500);
        waitLocked(timeout, [&] {
            return plan_.stream() == detail::ReconnectPlan::Link::Up ||
                   plan_.streamLosses() != streamLossesBefore ||
                   plan_.serverLosses() != serverLossesBefore;
        });
        const bool ok = plan_.stream() == detail::ReconnectPlan::Link::Up;
        if (!ok) {
            plan_.setRecording(false);
            dropStream();
            proc_ = nullptr;
            user_ = nullptr;
            handle_ = 0;
            pa_threaded_mainloop_unlock(ml_);
            lastError_ = BASS_ERROR_START;
            return 0;
        }
        const HRECORD handle = handle_;
        recording_ = handle;
        pa_threaded_mainloop_unlock(ml_);
        lastError_ = BASS_OK;
        return handle;
    } catch (...) {
        lastError_ = BASS_ERROR_START;
        return 0;
    }
}

std::int32_t PulseAudioLibrary::BASS_ChannelGetData(HRECORD handle, float* buffer,
                                                    std::uint32_t length) {
    try {
        if (handle == 0 || handle != recording_.load()) {
            lastError_ = BASS_ERROR_HANDLE;
            return -1;
        }
        if (buffer == nullptr || length != kFftRequest) {
            lastError_ = BASS_ERROR_ILLPARAM;
            return -1;
        }
        const std::int64_t last = lastDataNs_.load(std::memory_order_acquire);
        const std::int64_t staleNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(kStaleAfter).count();
        if (last == 0 || steadyNs() - last > staleNs) {
            // Nothing recorded lately (server gone, source stalled): the bands fall silent.
            std::memset(buffer, 0, kFftValues * sizeof(float));
        } else {
            fft_.analyseNewest(ring_, buffer);
        }
        lastError_ = BASS_OK;
        return static_cast<std::int32_t>(kFftValues * sizeof(float));
    } catch (...) {
        lastError_ = BASS_ERROR_HANDLE;
        return -1;
    }
}

bool PulseAudioLibrary::BASS_RecordFree() {
    try {
        if (ml_ == nullptr) {
            lastError_ = BASS_ERROR_INIT;
            return false;
        }
        if (pa_threaded_mainloop_in_thread(ml_)) {
            // From the record callback: the capture thread cannot join itself.
            lastError_ = BASS_ERROR_ALREADY;
            return false;
        }
        teardown();
        lastError_ = BASS_OK;
        return true;
    } catch (...) {
        lastError_ = BASS_ERROR_INIT;
        return false;
    }
}

void PulseAudioLibrary::teardown() {
    recording_ = 0;
    if (ml_ == nullptr) {
        return;
    }
    if (pa_threaded_mainloop_in_thread(ml_)) {
        return;  // cannot happen through the public calls; never join from the capture thread
    }
    pa_threaded_mainloop_lock(ml_);
    active_ = false;
    dropStream();
    dropContext();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(ml_);
    if (tick_ != nullptr) {
        api->time_free(tick_);
        tick_ = nullptr;
    }
    if (kick_ != nullptr) {
        api->defer_free(kick_);
        kick_ = nullptr;
    }
    proc_ = nullptr;
    user_ = nullptr;
    handle_ = 0;
    stopRequested_ = false;
    pa_threaded_mainloop_unlock(ml_);
    pa_threaded_mainloop_stop(ml_);  // joins the capture thread
    pa_threaded_mainloop_free(ml_);
    ml_ = nullptr;
    plan_ = detail::ReconnectPlan(true);
    ring_.clear();
    lastDataNs_ = 0;
}

PulseAudioLibrary::Status PulseAudioLibrary::status() {
    Status st;
    if (ml_ == nullptr) {
        return st;
    }
    pa_threaded_mainloop_lock(ml_);
    st.initialised = true;
    st.serverUp = plan_.server() == detail::ReconnectPlan::Link::Up;
    st.streaming = plan_.stream() == detail::ReconnectPlan::Link::Up;
    st.source = plan_.followsDefault() ? plan_.defaultMonitor() : source_;
    st.device = plan_.device();
    st.defaultMonitor = plan_.defaultMonitor();
    st.serverLosses = plan_.serverLosses();
    st.streamLosses = plan_.streamLosses();
    st.serverConnects = plan_.serverConnects();
    st.follows = follows_;
    pa_threaded_mainloop_unlock(ml_);
    return st;
}

template <class Done>
bool PulseAudioLibrary::waitLocked(std::chrono::milliseconds timeout, Done done) {
    struct Timeout {
        pa_threaded_mainloop* ml;
        bool fired = false;
    } t{ml_};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(ml_);
    pa_time_event* e = newTimer(
        api, timeout,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
            auto* to = static_cast<Timeout*>(p);
            to->fired = true;
            pa_threaded_mainloop_signal(to->ml, 0);
        },
        &t);
    const auto deadline = Clock::now() + timeout + std::chrono::milliseconds(200);
    // The tick (every 100 ms) and the timeout both signal, so the steady-clock check is reached.
    while (!done() && !t.fired && Clock::now() < deadline) {
        pa_threaded_mainloop_wait(ml_);
    }
    if (e != nullptr) {
        api->time_free(e);
    }
    return done();
}

// -- capture thread ---------------------------------------------------------------------------

void PulseAudioLibrary::kick() {
    if (kick_ != nullptr && active_) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(ml_);
        api->defer_enable(kick_, 1);
    }
}

void PulseAudioLibrary::evaluate() {
    if (!active_) {
        return;
    }
    const auto now = Clock::now();
    observe(now);
    // A few steps at most: e.g. a failed connect reports the loss and then waits for the retry.
    for (int i = 0; i < 4; ++i) {
        const auto step = plan_.next(now);
        if (step == detail::ReconnectPlan::Step::None) {
            break;
        }
        act(step, now);
    }
    pa_threaded_mainloop_signal(ml_, 0);
}

void PulseAudioLibrary::observe(Clock::time_point now) {
    using Link = detail::ReconnectPlan::Link;
    if (ctx_ != nullptr) {
        const pa_context_state_t st = pa_context_get_state(ctx_);
        if (!PA_CONTEXT_IS_GOOD(st)) {
            loseServer(now);
        } else if (st == PA_CONTEXT_READY && plan_.server() == Link::Connecting) {
            plan_.serverUp();
            pa_context_set_subscribe_callback(ctx_, &PulseCallbacks::subscribe, this);
            unrefOperation(
                pa_context_subscribe(ctx_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
            queryDefaultMonitor();
        }
    }
    if (stream_ != nullptr) {
        const pa_stream_state_t st = pa_stream_get_state(stream_);
        if (!PA_STREAM_IS_GOOD(st)) {
            dropStream();
            ring_.clear();  // no frozen spectrum from a source that went away
            plan_.streamLost(now);
        } else if (st == PA_STREAM_READY && plan_.stream() == Link::Connecting) {
            const char* name = pa_stream_get_device_name(stream_);
            plan_.streamUp(name != nullptr ? name : "");
        }
    }
    if (stopRequested_) {
        // The record callback asked to stop.
        stopRequested_ = false;
        recording_ = 0;
        dropStream();
        plan_.setRecording(false);
        proc_ = nullptr;
        user_ = nullptr;
    }
}

void PulseAudioLibrary::act(detail::ReconnectPlan::Step step, Clock::time_point now) {
    using Step = detail::ReconnectPlan::Step;
    switch (step) {
        case Step::None:
            break;
        case Step::ConnectServer:
            connectContext(now);
            break;
        case Step::AbandonServer:
            loseServer(now);
            break;
        case Step::ConnectStream:
            connectStream(now);
            break;
        case Step::AbandonStream:
            dropStream();
            ring_.clear();
            plan_.streamLost(now);
            break;
        case Step::FollowDefault:
            ++follows_;
            dropStream();
            connectStream(now);
            break;
    }
}

void PulseAudioLibrary::connectContext(Clock::time_point now) {
    dropContext();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(ml_);
    ctx_ = pa_context_new(api, "KleurFlits Stereo");
    plan_.serverConnecting(now);
    if (ctx_ == nullptr) {
        loseServer(now);
        return;
    }
    pa_context_set_state_callback(ctx_, &PulseCallbacks::contextState, this);
    // The server comes from PULSE_SERVER or the client configuration; never spawn one.
    if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        loseServer(now);
    }
}

void PulseAudioLibrary::loseServer(Clock::time_point now) {
    dropStream();
    dropContext();
    ring_.clear();
    lastDataNs_ = 0;
    plan_.serverLost(now);
}

void PulseAudioLibrary::dropContext() {
    if (ctx_ == nullptr) {
        return;
    }
    pa_context* c = ctx_;
    ctx_ = nullptr;
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_set_subscribe_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
}

void PulseAudioLibrary::connectStream(Clock::time_point now) {
    dropStream();
    plan_.streamConnecting(now);
    // The real name of the monitor: an alias would be resolved differently by each server.
    const std::string target = plan_.followsDefault() ? plan_.defaultMonitor() : source_;
    if (ctx_ == nullptr || pa_context_get_state(ctx_) != PA_CONTEXT_READY || target.empty()) {
        plan_.streamLost(now);
        return;
    }
    pa_sample_spec format{};
    format.format = PA_SAMPLE_FLOAT32NE;  // float32le on this platform
    format.rate = kRate;
    format.channels = kChannels;
    pa_channel_map map{};
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(ctx_, "KleurFlits capture", &format, &map);
    if (stream_ == nullptr) {
        plan_.streamLost(now);
        return;
    }
    pa_stream_set_state_callback(stream_, &PulseCallbacks::streamState, this);
    pa_stream_set_read_callback(stream_, &PulseCallbacks::streamRead, this);
    pa_stream_set_moved_callback(stream_, &PulseCallbacks::streamMoved, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = kFragmentBytes;
    if (pa_stream_connect_record(stream_, target.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        dropStream();
        plan_.streamLost(now);
    }
}

void PulseAudioLibrary::dropStream() {
    if (stream_ == nullptr) {
        return;
    }
    pa_stream* s = stream_;
    stream_ = nullptr;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_moved_callback(s, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
        pa_stream_disconnect(s);
    }
    pa_stream_unref(s);
}

void PulseAudioLibrary::queryDefaultMonitor() {
    if (ctx_ == nullptr || !plan_.followsDefault() ||
        pa_context_get_state(ctx_) != PA_CONTEXT_READY) {
        return;
    }
    unrefOperation(pa_context_get_server_info(ctx_, &PulseCallbacks::serverInfo, this));
}

void PulseAudioLibrary::monitorAnswer(const std::string& monitor) {
    plan_.defaultMonitorIs(monitor);
    kick();
    pa_threaded_mainloop_signal(ml_, 0);
}

void PulseAudioLibrary::onRead(pa_stream* s, std::size_t) {
    // Peek until it finds nothing: each libpulse call checks for a fork with a system call, so
    // asking for the readable size as well would cost one more per fragment.
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        const int frames = static_cast<int>(bytes / kFrameBytes);
        if (data == nullptr) {
            ring_.writeSilence(frames);  // a hole in the recording
        } else {
            ring_.write(static_cast<const float*>(data), frames);
        }
        lastDataNs_.store(steadyNs(), std::memory_order_release);
        if (data != nullptr && proc_ != nullptr && !stopRequested_) {
            bool keep = true;
            try {
                keep = proc_(handle_, data, static_cast<std::uint32_t>(bytes), user_);
            } catch (...) {
                keep = true;  // the callback's trouble is not the recording's
            }
            if (!keep) {
                stopRequested_ = true;
                recording_ = 0;  // no FFT from here on; evaluate() drops the stream
                kick();
            }
        }
        pa_stream_drop(s);
        if (stream_ != s) {
            break;
        }
    }
}

}  // namespace modBass
