#include "audio/PulseAudioLibrary.h"

#include <cstdlib>
#include <cstring>

namespace modBass {

namespace {

using Link = detail::ReconnectPlan::Link;
using std::chrono::milliseconds;

constexpr std::uint32_t kRate = PulseRecordStream::kRate;
constexpr std::uint32_t kChannels = PulseRecordStream::kChannels;

}  // namespace

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
        if (loop_.running()) {
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

// Starts the capture thread, connects to the server within the connect timeout and checks the
// source. On failure sets the error code; the caller tears down.
bool PulseAudioLibrary::initLocked() {
    const char* named = std::getenv("KLEURFLITS_AUDIO_SOURCE");
    source_ = (named != nullptr && named[0] != '\0') ? named : "";
    delay_ = PlaybackDelay(PlaybackDelay::userMsFromEnvironment());
    if (!loop_.start("kf-capture")) {
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }
    PulseMainLoop::Lock lock(loop_);
    supervisor_.begin(source_);
    if (!waitForServerLocked()) {
        lastError_ = BASS_ERROR_DRIVER;
        return false;
    }
    return supervisor_.plan().followsDefault() ? findDefaultMonitorLocked()
                                               : findNamedSourceLocked();
}

bool PulseAudioLibrary::waitForServerLocked() {
    const auto& plan = supervisor_.plan();
    const unsigned lossesBefore = plan.serverLosses();
    supervisor_.evaluate();  // the plan starts with "connect the server"
    return loop_.wait(detail::ReconnectPlan::kConnectTimeout + milliseconds(300), [&] {
        return plan.server() == Link::Up || plan.serverLosses() != lossesBefore;
    }) && plan.server() == Link::Up;
}

// Connecting asked for the default output's monitor; waits for the answer.
bool PulseAudioLibrary::findDefaultMonitorLocked() {
    const auto& plan = supervisor_.plan();
    loop_.wait(detail::ReconnectPlan::kConnectTimeout,
               [&] { return plan.defaultMonitorKnown() || plan.server() != Link::Up; });
    const bool answered = plan.server() == Link::Up && plan.defaultMonitorKnown();
    if (answered && !plan.defaultMonitor().empty()) {
        return true;
    }
    // The server answered but has no output whose monitor could be recorded: no device.
    lastError_ = answered ? BASS_ERROR_DEVICE : BASS_ERROR_DRIVER;
    return false;
}

bool PulseAudioLibrary::findNamedSourceLocked() {
    const auto& plan = supervisor_.plan();
    PulseServer& server = supervisor_.server();
    server.checkSource(source_);
    loop_.wait(detail::ReconnectPlan::kConnectTimeout, [&] {
        return server.sourceCheck() != PulseServer::SourceCheck::Pending ||
               plan.server() != Link::Up;
    });
    const PulseServer::SourceCheck result = server.sourceCheck();
    if (result == PulseServer::SourceCheck::Found) {
        return true;
    }
    // No answer at all means no usable server; an answer without the source means no device.
    const bool serverStillUp = plan.server() == Link::Up;
    lastError_ = (result == PulseServer::SourceCheck::Missing && serverStillUp) ? BASS_ERROR_DEVICE
                                                                                : BASS_ERROR_DRIVER;
    return false;
}

HRECORD PulseAudioLibrary::BASS_RecordStart(std::uint32_t freq, std::uint32_t chans,
                                            std::uint32_t /*flags*/, RECORDPROC proc, void* user) {
    try {
        if (!loop_.running()) {
            lastError_ = BASS_ERROR_INIT;
            return 0;
        }
        if (freq != kRate || chans != kChannels) {
            lastError_ = BASS_ERROR_FORMAT;
            return 0;
        }
        PulseMainLoop::Lock lock(loop_);
        const auto& plan = supervisor_.plan();
        if (plan.recording()) {
            lastError_ = BASS_ERROR_ALREADY;
            return 0;
        }
        proc_ = proc;
        user_ = user;
        handle_ = nextHandle_++;
        if (nextHandle_ == 0) {
            nextHandle_ = 1;
        }
        const unsigned streamLossesBefore = plan.streamLosses();
        const unsigned serverLossesBefore = plan.serverLosses();
        supervisor_.startRecording(proc != nullptr ? this : nullptr);
        // Waits for the server too if it is reconnecting at this moment.
        loop_.wait(detail::ReconnectPlan::kConnectTimeout + milliseconds(500), [&] {
            return plan.stream() == Link::Up || plan.streamLosses() != streamLossesBefore ||
                   plan.serverLosses() != serverLossesBefore;
        });
        if (plan.stream() != Link::Up) {
            supervisor_.stopRecording();
            proc_ = nullptr;
            user_ = nullptr;
            handle_ = 0;
            lastError_ = BASS_ERROR_START;
            return 0;
        }
        recording_ = handle_;
        lastError_ = BASS_OK;
        return handle_;
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
        const std::int64_t last = supervisor_.lastDataNs();
        const std::int64_t staleNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(kStaleAfter).count();
        if (last == 0 || PulseRecordStream::steadyNs() - last > staleNs) {
            // Nothing recorded lately (server gone, source stalled): the bands fall silent.
            std::memset(buffer, 0, kFftValues * sizeof(float));
        } else {
            fft_.analyseNewest(ring_, buffer, delay_.next(supervisor_.outputLatency()));
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
        if (!loop_.running()) {
            lastError_ = BASS_ERROR_INIT;
            return false;
        }
        if (loop_.inLoopThread()) {
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
    if (!loop_.running() || loop_.inLoopThread()) {
        return;  // the latter cannot happen through the public calls
    }
    {
        PulseMainLoop::Lock lock(loop_);
        supervisor_.end();
        proc_ = nullptr;
        user_ = nullptr;
        handle_ = 0;
    }
    loop_.stop();  // joins the capture thread
}

PulseAudioLibrary::Status PulseAudioLibrary::status() {
    Status st;
    if (!loop_.running()) {
        return st;
    }
    PulseMainLoop::Lock lock(loop_);
    const auto& plan = supervisor_.plan();
    st.initialised = true;
    st.serverUp = plan.server() == Link::Up;
    st.streaming = plan.stream() == Link::Up;
    st.source = supervisor_.source();
    st.device = plan.device();
    st.defaultMonitor = plan.defaultMonitor();
    st.serverLosses = plan.serverLosses();
    st.streamLosses = plan.streamLosses();
    st.serverConnects = plan.serverConnects();
    st.follows = supervisor_.follows();
    st.latency = supervisor_.outputLatency();
    return st;
}

// On the capture thread, lock held.
bool PulseAudioLibrary::recorded(const void* data, std::uint32_t bytes) {
    bool keep = true;
    try {
        keep = proc_ == nullptr || proc_(handle_, data, bytes, user_);
    } catch (...) {
        keep = true;  // the callback's trouble is not the recording's
    }
    if (!keep) {
        recording_ = 0;  // no FFT from here on; the supervisor drops the stream
    }
    return keep;
}

}  // namespace modBass
