#include "audio/PulseServer.h"

#include <pulse/pulseaudio.h>

namespace modBass {

namespace {

void unrefOperation(pa_operation* op) {
    if (op != nullptr) {
        pa_operation_unref(op);
    }
}

}  // namespace

// The C callbacks; each runs on the capture thread with the loop's lock held.
struct ServerCallbacks {
    static PulseServer* self(void* p) { return static_cast<PulseServer*>(p); }

    static void contextState(pa_context* c, void* p) {
        auto* server = self(p);
        if (c == server->ctx_) {
            server->listener_.serverStateChanged();
        }
        server->loop_.signal();
    }

    static void subscribe(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index,
                          void* p) {
        auto* server = self(p);
        if (c != server->ctx_) {
            return;
        }
        const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        // A new default output is a server change, on PulseAudio and pipewire-pulse alike.
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            server->listener_.serverChanged();
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK &&
                   (t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE &&
                   index != PA_INVALID_INDEX && index == server->latencyOutput_) {
            server->listener_.outputChanged();  // e.g. a port's latency offset was set
        }
    }

    static void serverInfo(pa_context* c, const pa_server_info* info, void* p) {
        auto* server = self(p);
        if (c != server->ctx_) {
            return;
        }
        if (info == nullptr || info->default_sink_name == nullptr ||
            info->default_sink_name[0] == '\0') {
            server->answer({});  // the server has no output
            return;
        }
        // Its monitor by its real name: an alias would be resolved differently by each server.
        pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name,
                                                            &ServerCallbacks::sinkInfo, p);
        if (op == nullptr) {
            server->answer({info->default_sink_name, ""});
        }
        unrefOperation(op);
    }

    static void sinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* p) {
        auto* server = self(p);
        if (c != server->ctx_) {
            return;
        }
        if (eol == 0 && info != nullptr) {
            server->answer({info->name != nullptr ? info->name : "",
                            info->monitor_source_name != nullptr ? info->monitor_source_name : ""});
        } else if (eol < 0) {
            server->answer({});  // the default output vanished between the two questions
        }
    }

    static void sourceInfo(pa_context* c, const pa_source_info* info, int eol, void* p) {
        auto* server = self(p);
        if (c != server->ctx_) {
            return;
        }
        if (info != nullptr && eol == 0) {
            server->sourceCheck_ = PulseServer::SourceCheck::Found;
        } else if (server->sourceCheck_ == PulseServer::SourceCheck::Pending) {
            // An error, or the end of the list without the source.
            server->sourceCheck_ = PulseServer::SourceCheck::Missing;
        }
        server->loop_.signal();
    }

    static void latencySource(pa_context* c, const pa_source_info* info, int eol, void* p) {
        auto* server = self(p);
        if (c != server->ctx_ || eol != 0 || info == nullptr) {
            return;  // a vanished source: the stream's own loss is reported elsewhere
        }
        if (info->monitor_of_sink == PA_INVALID_INDEX) {
            server->latencyOutput_ = PA_INVALID_INDEX;
            server->listener_.outputLatencyIs(false, 0);
            return;
        }
        unrefOperation(pa_context_get_sink_info_by_index(c, info->monitor_of_sink,
                                                         &ServerCallbacks::latencySink, p));
    }

    static void latencySink(pa_context* c, const pa_sink_info* info, int eol, void* p) {
        auto* server = self(p);
        if (c != server->ctx_ || eol != 0 || info == nullptr) {
            return;
        }
        server->latencyOutput_ = info->index;
        // An output that plays nothing may report whatever it would buffer (a null sink up to
        // 2 s); nothing is heard from it then. When a stream starts it changes state, which is a
        // change event, and is asked again.
        server->listener_.outputLatencyIs(true, info->state == PA_SINK_RUNNING ? info->latency : 0);
    }
};

bool PulseServer::connect(const char* clientName) {
    drop();
    ctx_ = pa_context_new(loop_.api(), clientName);
    if (ctx_ == nullptr) {
        return false;
    }
    pa_context_set_state_callback(ctx_, &ServerCallbacks::contextState, this);
    if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        drop();
        return false;
    }
    return true;
}

void PulseServer::drop() {
    if (ctx_ == nullptr) {
        return;
    }
    pa_context* c = ctx_;
    ctx_ = nullptr;
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_set_subscribe_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
    latencyOutput_ = PA_INVALID_INDEX;
}

PulseServer::State PulseServer::state() const {
    if (ctx_ == nullptr) {
        return State::None;
    }
    const pa_context_state_t st = pa_context_get_state(ctx_);
    if (!PA_CONTEXT_IS_GOOD(st)) {
        return State::Failed;
    }
    return st == PA_CONTEXT_READY ? State::Ready : State::Connecting;
}

void PulseServer::watchChanges() {
    if (state() != State::Ready) {
        return;
    }
    pa_context_set_subscribe_callback(ctx_, &ServerCallbacks::subscribe, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                          PA_SUBSCRIPTION_MASK_SINK);
    unrefOperation(pa_context_subscribe(ctx_, mask, nullptr, nullptr));
}

void PulseServer::askDefaultOutput() {
    if (state() != State::Ready) {
        return;
    }
    unrefOperation(pa_context_get_server_info(ctx_, &ServerCallbacks::serverInfo, this));
}

void PulseServer::checkSource(const std::string& name) {
    sourceCheck_ = SourceCheck::Pending;
    pa_operation* op = state() == State::Ready
                           ? pa_context_get_source_info_by_name(ctx_, name.c_str(),
                                                                &ServerCallbacks::sourceInfo, this)
                           : nullptr;
    if (op == nullptr) {
        sourceCheck_ = SourceCheck::Missing;
    }
    unrefOperation(op);
}

void PulseServer::askOutputLatency(const std::string& source) {
    if (state() != State::Ready || source.empty()) {
        return;
    }
    unrefOperation(pa_context_get_source_info_by_name(ctx_, source.c_str(),
                                                      &ServerCallbacks::latencySource, this));
}

void PulseServer::answer(const DefaultOutput& output) {
    listener_.defaultOutputIs(output);
    loop_.signal();
}

}  // namespace modBass
