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

    static void subscribe(pa_context* c, pa_subscription_event_type_t t, std::uint32_t, void* p) {
        auto* server = self(p);
        if (c != server->ctx_) {
            return;
        }
        // A new default output is a server change, on PulseAudio and pipewire-pulse alike.
        if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
            server->listener_.serverChanged();
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
    unrefOperation(pa_context_subscribe(ctx_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
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

void PulseServer::answer(const DefaultOutput& output) {
    listener_.defaultOutputIs(output);
    loop_.signal();
}

}  // namespace modBass
