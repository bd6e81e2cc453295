#include "audio/PulseRecordStream.h"

#include <pulse/pulseaudio.h>

namespace modBass {

// The C callbacks; each runs on the capture thread with the loop's lock held.
struct StreamCallbacks {
    static PulseRecordStream* self(void* p) { return static_cast<PulseRecordStream*>(p); }

    static void state(pa_stream* s, void* p) {
        auto* stream = self(p);
        if (s == stream->stream_) {
            stream->listener_.streamStateChanged();
        }
        stream->loop_.signal();
    }

    static void read(pa_stream* s, std::size_t, void* p) {
        auto* stream = self(p);
        if (s == stream->stream_) {
            stream->readAll(s);
        }
    }

    static void moved(pa_stream* s, void* p) {
        auto* stream = self(p);
        if (s != stream->stream_) {
            return;
        }
        const char* name = pa_stream_get_device_name(s);
        stream->listener_.streamMoved(name != nullptr ? name : "");
    }
};

bool PulseRecordStream::connect(pa_context* ctx, const std::string& source) {
    drop();
    pa_sample_spec format{};
    format.format = PA_SAMPLE_FLOAT32NE;  // float32le on this platform
    format.rate = kRate;
    format.channels = kChannels;
    pa_channel_map map{};
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(ctx, "KleurFlits capture", &format, &map);
    if (stream_ == nullptr) {
        return false;
    }
    pa_stream_set_state_callback(stream_, &StreamCallbacks::state, this);
    pa_stream_set_read_callback(stream_, &StreamCallbacks::read, this);
    pa_stream_set_moved_callback(stream_, &StreamCallbacks::moved, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = kFragmentBytes;
    if (pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        drop();
        return false;
    }
    return true;
}

void PulseRecordStream::drop() {
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

PulseRecordStream::State PulseRecordStream::state() const {
    if (stream_ == nullptr) {
        return State::None;
    }
    const pa_stream_state_t st = pa_stream_get_state(stream_);
    if (!PA_STREAM_IS_GOOD(st)) {
        return State::Failed;
    }
    return st == PA_STREAM_READY ? State::Ready : State::Connecting;
}

std::string PulseRecordStream::device() const {
    const char* name = stream_ != nullptr ? pa_stream_get_device_name(stream_) : nullptr;
    return name != nullptr ? name : "";
}

void PulseRecordStream::readAll(pa_stream* s) {
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
        listener_.fragmentRecorded(data, bytes);
        pa_stream_drop(s);
        if (stream_ != s) {
            break;
        }
    }
}

}  // namespace modBass
