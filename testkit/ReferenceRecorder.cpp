#include "testkit/ReferenceRecorder.h"

#include <cmath>

namespace kftest {

namespace {

void signalLoop(pa_threaded_mainloop* ml) {
    pa_threaded_mainloop_signal(ml, 0);
}

}  // namespace

ReferenceRecorder::ReferenceRecorder(float threshold, Clock::duration quiet)
    : threshold_(threshold), quiet_(quiet) {}

ReferenceRecorder::~ReferenceRecorder() {
    stop();
}

bool ReferenceRecorder::start(const std::string& source, std::string& error) {
    ml_ = pa_threaded_mainloop_new();
    if (ml_ == nullptr || pa_threaded_mainloop_start(ml_) < 0) {
        error = "no mainloop";
        return false;
    }
    pa_threaded_mainloop_lock(ml_);
    ctx_ = pa_context_new(pa_threaded_mainloop_get_api(ml_), "kf-probe-reference");
    pa_context_set_state_callback(
        ctx_, [](pa_context*, void* p) { signalLoop(static_cast<pa_threaded_mainloop*>(p)); }, ml_);
    bool ok = pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    while (ok) {
        const auto st = pa_context_get_state(ctx_);
        if (st == PA_CONTEXT_READY) {
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(st)) {
            ok = false;
        } else {
            pa_threaded_mainloop_wait(ml_);
        }
    }
    if (!ok) {
        error = "no server answers";
    } else {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, 44100, 2};
        stream_ = pa_stream_new(ctx_, "reference", &format, nullptr);
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* p) { signalLoop(static_cast<pa_threaded_mainloop*>(p)); },
            ml_);
        pa_stream_set_read_callback(
            stream_,
            [](pa_stream* s, std::size_t, void* p) {
                static_cast<ReferenceRecorder*>(p)->onRead(s);
            },
            this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = 8;  // one frame: the server raises it to the least it allows
        ok =
            pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) >= 0;
        while (ok) {
            const auto st = pa_stream_get_state(stream_);
            if (st == PA_STREAM_READY) {
                break;
            }
            if (!PA_STREAM_IS_GOOD(st)) {
                ok = false;
            } else {
                pa_threaded_mainloop_wait(ml_);
            }
        }
        if (!ok) {
            error = "cannot record " + source;
        } else {
            if (const pa_buffer_attr* a = pa_stream_get_buffer_attr(stream_)) {
                fragsize_ = a->fragsize;
            }
            if (const char* d = pa_stream_get_device_name(stream_)) {
                device_ = d;
            }
        }
    }
    pa_threaded_mainloop_unlock(ml_);
    return ok;
}

void ReferenceRecorder::stop() {
    if (ml_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(ml_);
    if (stream_ != nullptr) {
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (ctx_ != nullptr) {
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }
    pa_threaded_mainloop_unlock(ml_);
    pa_threaded_mainloop_stop(ml_);
    pa_threaded_mainloop_free(ml_);
    ml_ = nullptr;
}

std::vector<ReferenceRecorder::Clock::time_point> ReferenceRecorder::onsets() const {
    std::lock_guard lock(mutex_);
    return onsets_;
}

std::vector<ReferenceRecorder::Clock::duration> ReferenceRecorder::ages() const {
    std::lock_guard lock(mutex_);
    return ages_;
}

void ReferenceRecorder::clear() {
    std::lock_guard lock(mutex_);
    onsets_.clear();
    ages_.clear();
}

void ReferenceRecorder::onRead(pa_stream* s) {
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        const Clock::time_point now = Clock::now();
        ++fragments_;
        if (data != nullptr) {
            const auto* f = static_cast<const float*>(data);
            const std::size_t samples = bytes / sizeof(float);
            std::size_t first = samples;
            for (std::size_t i = 0; i < samples; ++i) {
                if (std::fabs(f[i]) > threshold_) {
                    first = i;
                    break;
                }
            }
            if (first < samples) {
                if (!anyLoud_ || now - lastLoud_ > quiet_) {
                    const double framesAfter = static_cast<double>(samples - first) / 2.0;
                    std::lock_guard lock(mutex_);
                    onsets_.push_back(now);
                    ages_.push_back(std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(framesAfter / 44100.0)));
                }
                anyLoud_ = true;
                lastLoud_ = now;
            }
        }
        pa_stream_drop(s);
    }
}

}  // namespace kftest
