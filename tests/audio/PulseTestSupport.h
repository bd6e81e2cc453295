#pragma once
// Helpers for the capture tests that talk to a real PulseAudio server: a probe that says whether
// a server answers, small server controls, a private server the tests may kill, a lock for tests
// that use the shared server's default sink, and an environment guard. The tones come from the
// kit's player.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testkit/SignalPlayer.h"

extern char** environ;

namespace kftest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double msSince(Clock::time_point t0, Clock::time_point t1 = Clock::now()) {
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// Sets (or unsets, with nullopt) an environment variable for the guard's lifetime.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

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

    std::string defaultSink() {
        struct R {
            bool done = false;
            std::string name;
        } r;
        run(pa_context_get_server_info(
                ctx_,
                [](pa_context*, const pa_server_info* i, void* p) {
                    auto* res = static_cast<R*>(p);
                    if (i != nullptr && i->default_sink_name != nullptr) {
                        res->name = i->default_sink_name;
                    }
                    res->done = true;
                },
                &r),
            r.done);
        return r.name;
    }

    std::string defaultSource() {
        struct R {
            bool done = false;
            std::string name;
        } r;
        run(pa_context_get_server_info(
                ctx_,
                [](pa_context*, const pa_server_info* i, void* p) {
                    auto* res = static_cast<R*>(p);
                    if (i != nullptr && i->default_source_name != nullptr) {
                        res->name = i->default_source_name;
                    }
                    res->done = true;
                },
                &r),
            r.done);
        return r.name;
    }

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

  private:
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

inline std::string pulseServerDescription() {
    const char* s = std::getenv("PULSE_SERVER");
    return s != nullptr ? std::string("PULSE_SERVER=") + s : std::string("PULSE_SERVER unset");
}

// The null-terminated array of C strings posix_spawn takes; points into `strings`.
inline std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

inline bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream ss(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// A sound server of the test's own that clients reach through the PulseAudio protocol: null
// sinks (the first one the default output) and, when asked for, a silent source as the default
// input. kill() ends the part the clients talk to, as a crash would; start() again brings it
// back on the same socket.
class TestSoundServer {
  public:
    virtual ~TestSoundServer() = default;
    virtual bool start(std::chrono::milliseconds timeout = 5000ms) = 0;
    virtual void kill() = 0;
    virtual std::string server() const = 0;  // for PULSE_SERVER
    virtual std::string log() const = 0;
};

// A PulseAudio server of the test's own, with null sinks, on a private socket; the test may
// kill it and start it again on the same socket.
class PrivateServer : public TestSoundServer {
  public:
    // mic: when not empty, a silent null source of that name becomes the default source.
    explicit PrivateServer(std::vector<std::string> sinks, std::string mic = {})
        : sinks_(std::move(sinks)), mic_(std::move(mic)) {
        char tmpl[] = "/tmp/kf-capture-pa.XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        dir_ = d != nullptr ? d : "/tmp";
        ::chmod(dir_.c_str(), 0700);
    }
    ~PrivateServer() override {
        kill();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    static bool available() { return onPath("pulseaudio"); }

    std::string server() const override { return "unix:" + dir_ + "/native"; }

    // Starts the daemon and waits until it answers.
    bool start(std::chrono::milliseconds timeout = 5000ms) override {
        std::vector<std::string> args = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--realtime=no",
            "--high-priority=no",
            "--log-level=notice",
            "--log-target=file:" + dir_ + "/pulseaudio.log",
            "-L",
            "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1"};
        for (const auto& s : sinks_) {
            args.push_back("-L");
            args.push_back("module-null-sink sink_name=" + s + " rate=44100 channels=2");
        }
        if (!mic_.empty()) {
            args.push_back("-L");
            args.push_back("module-null-source source_name=" + mic_ + " rate=44100 channels=2");
        }
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_,
                                        "PULSE_STATE_PATH=" + dir_ + "/state",
                                        "PULSE_RUNTIME_PATH=" + dir_ + "/runtime", "HOME=" + dir_};
        if (const char* p = std::getenv("PATH")) {
            env.push_back(std::string("PATH=") + p);
        }
        std::vector<char*> argv = cStrings(args);
        std::vector<char*> envp = cStrings(env);
        if (::posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
            return false;
        }
        const auto deadline = Clock::now() + timeout;
        const std::string srv = server();
        while (Clock::now() < deadline) {
            if (serverAnswers(srv.c_str())) {
                PulseControl control(srv.c_str());
                if (!sinks_.empty() && !control.setDefaultSink(sinks_.front())) {
                    return false;
                }
                if (!mic_.empty() && !control.setDefaultSource(mic_)) {
                    return false;
                }
                return true;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Kills the daemon at once (a crash, as far as its clients can tell).
    void kill() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    std::string log() const override {
        std::ifstream in(dir_ + "/pulseaudio.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    std::vector<std::string> sinks_;
    std::string mic_;
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace kftest
