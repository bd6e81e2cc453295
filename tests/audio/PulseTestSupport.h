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

#include "testkit/PulseAudioServer.h"
#include "testkit/PulseControl.h"
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

inline std::string pulseServerDescription() {
    const char* s = std::getenv("PULSE_SERVER");
    return s != nullptr ? std::string("PULSE_SERVER=") + s : std::string("PULSE_SERVER unset");
}

}  // namespace kftest
