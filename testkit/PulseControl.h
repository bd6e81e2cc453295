#pragma once
// A small blocking client for setting up and asking a sound server (its defaults, sinks,
// sources and monitors), every wait bounded: for tests and benchmarks, not for the program.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kftest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A blocking client on a plain pa_mainloop, every wait bounded.
class PulseControl {
  public:
    // server: nullptr for PULSE_SERVER / the client configuration.
    explicit PulseControl(const char* server = nullptr,
                          std::chrono::milliseconds timeout = 2000ms) {
        ml_ = pa_mainloop_new();
        ctx_ = pa_context_new(pa_mainloop_get_api(ml_), "kf-capture-test-control");
        if (pa_context_connect(ctx_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return;
        }
        runUntil(
            [&] {
                return !PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx_)) ||
                       pa_context_get_state(ctx_) == PA_CONTEXT_READY;
            },
            timeout);
        ok_ = pa_context_get_state(ctx_) == PA_CONTEXT_READY;
    }
    ~PulseControl() {
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        pa_mainloop_free(ml_);
    }
    PulseControl(const PulseControl&) = delete;
    PulseControl& operator=(const PulseControl&) = delete;

    bool ok() const { return ok_; }

    std::string defaultSink() { return defaults().sink; }
    std::string defaultSource() { return defaults().source; }

    // The monitor source of a sink, empty when there is no such sink.
    std::string monitorOf(const std::string& sink) {
        struct R {
            bool done = false;
            std::string name;
        } r;
        run(pa_context_get_sink_info_by_name(
                ctx_, sink.c_str(),
                [](pa_context*, const pa_sink_info* i, int eol, void* p) {
                    auto* res = static_cast<R*>(p);
                    if (eol == 0 && i != nullptr && i->monitor_source_name != nullptr) {
                        res->name = i->monitor_source_name;
                    }
                    if (eol != 0) {
                        res->done = true;
                    }
                },
                &r),
            r.done);
        return r.name;
    }

    std::vector<std::string> sinks() {
        Names r;
        run(pa_context_get_sink_info_list(ctx_, &collectName<pa_sink_info>, &r), r.done);
        return r.names;
    }

    std::vector<std::string> sources() {
        Names r;
        run(pa_context_get_source_info_list(ctx_, &collectName<pa_source_info>, &r), r.done);
        return r.names;
    }

    bool setDefaultSource(const std::string& name) {
        Success r;
        run(pa_context_set_default_source(ctx_, name.c_str(), &noteSuccess, &r), r.done);
        return r.ok;
    }

    bool setDefaultSink(const std::string& name) {
        Success r;
        run(pa_context_set_default_sink(ctx_, name.c_str(), &noteSuccess, &r), r.done);
        return r.ok;
    }

    // Moves the recording stream named `stream` to `source`, as pavucontrol's Recording tab
    // does; false when there is no such stream or the server refused.
    bool moveRecording(const std::string& stream, const std::string& source) {
        struct Found {
            bool done = false;
            std::string name;
            std::uint32_t index = PA_INVALID_INDEX;
        } found{false, stream, PA_INVALID_INDEX};
        run(pa_context_get_source_output_info_list(
                ctx_,
                [](pa_context*, const pa_source_output_info* i, int eol, void* p) {
                    auto* f = static_cast<Found*>(p);
                    if (eol == 0 && i != nullptr && i->name != nullptr && f->name == i->name) {
                        f->index = i->index;
                    }
                    if (eol != 0) {
                        f->done = true;
                    }
                },
                &found),
            found.done);
        if (found.index == PA_INVALID_INDEX) {
            return false;
        }
        Success r;
        run(pa_context_move_source_output_by_name(ctx_, found.index, source.c_str(), &noteSuccess,
                                                  &r),
            r.done);
        return r.ok;
    }

    // Loads a module of the server (pactl load-module); its index, or none when refused.
    std::optional<std::uint32_t> loadModule(const std::string& name, const std::string& args) {
        struct Loaded {
            bool done = false;
            std::uint32_t index = PA_INVALID_INDEX;
        } r;
        run(pa_context_load_module(
                ctx_, name.c_str(), args.c_str(),
                [](pa_context*, std::uint32_t index, void* p) {
                    auto* res = static_cast<Loaded*>(p);
                    res->index = index;
                    res->done = true;
                },
                &r),
            r.done);
        if (r.index == PA_INVALID_INDEX) {
            return std::nullopt;
        }
        return r.index;
    }

    // The latency the server reports for a sink, none when there is no such sink.
    std::optional<std::uint64_t> sinkLatencyUs(const std::string& sink) {
        struct R {
            bool done = false;
            std::optional<std::uint64_t> us;
        } r;
        run(pa_context_get_sink_info_by_name(
                ctx_, sink.c_str(),
                [](pa_context*, const pa_sink_info* i, int eol, void* p) {
                    auto* res = static_cast<R*>(p);
                    if (eol == 0 && i != nullptr) {
                        res->us = i->latency;
                    }
                    if (eol != 0) {
                        res->done = true;
                    }
                },
                &r),
            r.done);
        return r.us;
    }

  private:
    struct Defaults {
        bool done = false;
        std::string sink;
        std::string source;
    };
    Defaults defaults() {
        Defaults r;
        run(pa_context_get_server_info(
                ctx_,
                [](pa_context*, const pa_server_info* i, void* p) {
                    auto* res = static_cast<Defaults*>(p);
                    if (i != nullptr && i->default_sink_name != nullptr) {
                        res->sink = i->default_sink_name;
                    }
                    if (i != nullptr && i->default_source_name != nullptr) {
                        res->source = i->default_source_name;
                    }
                    res->done = true;
                },
                &r),
            r.done);
        return r;
    }

    struct Success {
        bool done = false;
        bool ok = false;
    };
    static void noteSuccess(pa_context*, int success, void* p) {
        auto* res = static_cast<Success*>(p);
        res->ok = success != 0;
        res->done = true;
    }
    struct Names {
        bool done = false;
        std::vector<std::string> names;
    };
    // A list callback that collects the names of sinks or sources.
    template <class Info>
    static void collectName(pa_context*, const Info* i, int eol, void* p) {
        auto* res = static_cast<Names*>(p);
        if (eol == 0 && i != nullptr && i->name != nullptr) {
            res->names.push_back(i->name);
        }
        if (eol != 0) {
            res->done = true;
        }
    }

    template <class Pred>
    void runUntil(Pred pred, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!pred() && Clock::now() < deadline) {
            pa_mainloop_iterate(ml_, 0, nullptr);
            std::this_thread::sleep_for(1ms);
        }
    }
    void run(pa_operation* op, bool& done) {
        if (op == nullptr) {
            return;
        }
        runUntil([&] { return done; }, 2000ms);
        pa_operation_unref(op);
    }

    pa_mainloop* ml_ = nullptr;
    pa_context* ctx_ = nullptr;
    bool ok_ = false;
};

inline bool serverAnswers(const char* server = nullptr) {
    return PulseControl(server).ok();
}

}  // namespace kftest
